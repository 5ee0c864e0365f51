// Reading a check server's answer, and writing the check request's head,
// as the HTTP library does on a check call, without its costs: the library
// reads every line a byte at a time, matches the status line with a regular
// expression and formats the head with snprintf, a header at a time, which
// together cost more than the rest of a check. Both keep the library's
// outcome, byte for byte and answer for answer: the same head on the wire,
// the same status, header values (decoded as the library decodes them),
// body and failures from the same answer.
#ifndef VORNEX_ANSWER_READER_H
#define VORNEX_ANSWER_READER_H

#include <httplib.h>

#include "answer_meter.h"

#include <array>
#include <cstddef>
#include <string>
#include <sys/types.h>

namespace vornex {

// Where an answer's bytes come from: at most `size` bytes into `buffer`, 0
// at the end of the connection, negative on an error.
class answer_source {
public:
  virtual ssize_t read(char *buffer, size_t size) = 0;

protected:
  ~answer_source() = default;
};

// Where the body goes: false stops the reading (a cap, a deadline).
class answer_sink {
public:
  virtual bool take(const char *bytes, size_t length) = 0;
  // The head has been read (status and headers are known), before any byte
  // of the body; false stops the reading.
  virtual bool head(const httplib::Response &head) = 0;

protected:
  ~answer_sink() = default;
};

class answer_reader {
public:
  enum class outcome {
    done,     // a whole answer
    read,     // no answer the library would read: the library's read error
    canceled, // the sink stopped it
  };

  // The caps on the head (answer_meter.h): `over()` tells which one an
  // answer went over; it then ends as a read error.
  explicit answer_reader(const answer_limits &limits) : limits(limits) {}
  answer_reader(const answer_reader &) = delete;
  answer_reader &operator=(const answer_reader &) = delete;

  // Reads one answer from `source` into `response` (version, status,
  // reason, headers; the body goes to `sink`).
  outcome read(answer_source &source, httplib::Response &response,
               answer_sink &sink);

  answer_meter::excess over() const { return exceeded; }
  // Whether the connection must be closed after this answer, as the library
  // closes it.
  bool closes() const { return close_after; }

  // The header values as the library decodes them: percent escapes (%XX)
  // and %uXXXX written as UTF-8.
  static std::string decode_value(const char *begin, const char *end);

private:
  // The next line, line feed included (none at the end of the
  // connection), at `line` for `line_size` bytes; false on an error, at the
  // end of the connection before any byte, or over a cap.
  bool next_line();
  bool fill();
  bool read_status(httplib::Response &response);
  bool read_headers(httplib::Headers &headers);
  bool read_length(uint64_t length, answer_sink &sink, bool &stopped);
  bool read_to_end(answer_sink &sink, bool &stopped);
  bool read_chunked(answer_sink &sink, bool &stopped);
  bool refuse(answer_meter::excess why);

  const answer_limits limits;
  answer_source *from = nullptr;
  bool in_head = true;
  bool at_end = false;
  bool failed = false;
  bool close_after = false;
  answer_meter::excess exceeded = answer_meter::excess::none;
  // The first value of each header the reading looks at.
  const std::string *content_length = nullptr;
  const std::string *transfer_coding = nullptr;
  const std::string *connection = nullptr;
  size_t head_lines = 0;
  size_t head_bytes = 0;
  const char *line = nullptr;
  size_t line_size = 0;
  size_t start = 0; // first byte not yet taken
  size_t end = 0;   // one past the last byte received
  // A line is at most limits.line_bytes long (the line feed besides), which
  // is 8 KiB for a check; the buffer holds that and more.
  std::array<char, 32 * 1024> buffer;
};

// Writes the head of a check request as the library writes it: the request
// line, then the record's `headers` with `content_type` (unless null) added
// to them, and those the library adds where they have none (Accept,
// Connection: close unless `keep_alive`, Content-Length, Host, User-Agent),
// in the order of the library's header map, each name and value up to a NUL
// as its formatting takes them, then the empty line.
void write_request_head(std::string &out, const char *path,
                        const httplib::Headers &headers,
                        const std::string &host, const char *content_type,
                        bool keep_alive, uint64_t content_length);

} // namespace vornex

#endif
