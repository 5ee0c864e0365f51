// Fuzz target for reading a check server's answer, without a network.
//
// Input format: the first byte picks the size of the pieces the answer
// arrives in (1 to 256 bytes); the rest is the answer as the server sends
// it, after which the connection ends.
//
// The answer is read twice: in those pieces and all at once. How the bytes
// are split must not change anything: the outcome, the cap gone over, the
// status line, the headers, the body and whether the connection closes
// must come out the same. Within the run, the reader must never hand on
// more body bytes than the answer holds, nor a head over its caps; a broken
// rule aborts with a line on stderr, so libFuzzer keeps the input.
#include "answer_reader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void broken(const char *rule) {
  std::fprintf(stderr, "fuzz_answer: %s\n", rule);
  std::abort();
}

void require(bool holds, const char *rule) {
  if (!holds)
    broken(rule);
}

class pieces final : public vornex::answer_source {
public:
  pieces(const uint8_t *data, size_t size, size_t piece)
      : data(data), size(size), piece(piece) {}
  ssize_t read(char *buffer, size_t room) override {
    const size_t length = std::min({room, piece, size - at});
    std::memcpy(buffer, data + at, length);
    at += length;
    return static_cast<ssize_t>(length);
  }

private:
  const uint8_t *data;
  size_t size;
  size_t piece;
  size_t at = 0;
};

class collected final : public vornex::answer_sink {
public:
  bool head(const httplib::Response &) override {
    heads += 1;
    return true;
  }
  bool take(const char *bytes, size_t length) override {
    body.append(bytes, length);
    return true;
  }
  int heads = 0;
  std::string body;
};

struct reading {
  vornex::answer_reader::outcome outcome;
  vornex::answer_meter::excess over;
  bool closes;
  httplib::Response response;
  collected sink;
};

// Small caps, so that short inputs reach them.
const vornex::answer_limits limits{12, 2048, 256};

void read_answer(const uint8_t *data, size_t size, size_t piece, reading &out) {
  vornex::answer_reader reader(limits);
  pieces source(data, size, piece);
  out.outcome = reader.read(source, out.response, out.sink);
  out.over = reader.over();
  out.closes = reader.closes();
  require(out.sink.body.size() <= size, "more body than the answer holds");
  require(out.sink.heads <= 1, "the head was handed on twice");
  require(out.response.headers.size() <= limits.head_lines,
          "more headers than head lines");
  if (out.outcome == vornex::answer_reader::outcome::done)
    require(out.over == vornex::answer_meter::excess::none,
            "an answer over a cap was read whole");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  const size_t piece = static_cast<size_t>(data[0]) + 1;
  reading split, whole;
  read_answer(data + 1, size - 1, piece, split);
  read_answer(data + 1, size - 1, size, whole);
  require(split.outcome == whole.outcome, "the outcome depends on the pieces");
  require(split.over == whole.over, "the cap depends on the pieces");
  require(split.closes == whole.closes, "closing depends on the pieces");
  require(split.response.status == whole.response.status &&
              split.response.version == whole.response.version &&
              split.response.reason == whole.response.reason,
          "the status line depends on the pieces");
  require(split.response.headers == whole.response.headers,
          "the headers depend on the pieces");
  require(split.sink.body == whole.sink.body, "the body depends on the pieces");
  return 0;
}
