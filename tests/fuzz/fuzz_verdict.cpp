// Fuzz target for verdict decoding, without a network.
//
// Input format: one or two check responses; a line "%%" alone separates the
// first from the second (without it the second is the first again). Each
// response is written as
//
//   status line     an optional sign and decimal digits (anything after them
//                   is ignored; no digits gives 0; clamped to int)
//   header lines    "name:value" up to the first empty line; the value loses
//                   the spaces and tabs around it and has its %XX escapes
//                   decoded, as the HTTP library delivers values; a line
//                   without a colon is skipped, as the library skips it
//   body            every byte after the empty line
//
// A CR at the end of a line is dropped, so seeds may use CRLF; a CR
// elsewhere, or one written as %0D, stays in the value.
//
// The first response is decoded on a fresh record, the second on the same
// record, then again on it, and on another fresh record. Each outcome is
// compared with an independent reading of the decoding rules; a broken rule
// aborts with a line on stderr, so libFuzzer keeps the input.
#include "api.h"

#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>

namespace {

[[noreturn]] void broken(const char *rule) {
  std::fprintf(stderr, "fuzz_verdict: %s\n", rule);
  std::abort();
}

void require(bool holds, const char *rule) {
  if (!holds)
    broken(rule);
}

struct response {
  int status = 0;
  httplib::Headers headers;
  std::string body;
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

std::string percent_decoded(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
        hex_digit(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(text[i + 1]) * 16 +
                               hex_digit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string trimmed(const std::string &text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos)
    return "";
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

int status_of(const std::string &line) {
  size_t i = 0;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-'))
    negative = line[i++] == '-';
  long long value = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i)
    if (value <= INT_MAX)
      value = value * 10 + (line[i] - '0');
  if (negative)
    value = -value;
  if (value > INT_MAX)
    return INT_MAX;
  if (value < INT_MIN)
    return INT_MIN;
  return static_cast<int>(value);
}

// Takes the next line from `text` at `pos`, without its LF and a CR before it.
bool next_line(const std::string &text, size_t &pos, std::string &line) {
  if (pos >= text.size())
    return false;
  size_t end = text.find('\n', pos);
  if (end == std::string::npos)
    end = text.size();
  line = text.substr(pos, end - pos);
  pos = end + 1;
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  return true;
}

response parsed_response(const std::string &text) {
  response r;
  size_t pos = 0;
  std::string line;
  if (!next_line(text, pos, line))
    return r;
  r.status = status_of(line);
  while (next_line(text, pos, line)) {
    if (line.empty()) {
      if (pos < text.size())
        r.body = text.substr(pos);
      break;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos)
      continue;
    r.headers.emplace(line.substr(0, colon),
                      percent_decoded(trimmed(line.substr(colon + 1))));
  }
  return r;
}

bool has_unsafe_byte(const std::string &value) {
  for (char c : value)
    if (c == '\r' || c == '\n' || c == '\0')
      return true;
  return false;
}

// What a record shows of its verdict.
struct verdict_state {
  vornex::api::challenge_header_map challenge_headers;
  std::string page;
  std::string reason;
  std::string url;
  bool operator==(const verdict_state &o) const {
    return challenge_headers == o.challenge_headers && page == o.page &&
           reason == o.reason && url == o.url;
  }
};

verdict_state state_of(vornex::api &record) {
  return {record.get_challenge_headers(), record.get_challenge_page(),
          record.get_reason(), record.get_mitigation_url()};
}

struct outcome {
  bool threw = false;
  int code = -1;
  std::string message;
  verdict_state state;
};

// The decoding rules, read independently of the decoder: the record's
// earlier state goes in, the expected code (or error) and state come out.
outcome expected(const response &r, const verdict_state &before) {
  outcome o;
  o.state = before;
  for (const auto &h : r.headers)
    if (has_unsafe_byte(h.second)) {
      o.threw = true;
      o.message = "Failed to read connection";
      return o;
    }
  o.state.challenge_headers.clear();
  std::string keyword;
  bool keyword_given = false;
  for (const auto &h : r.headers) {
    if (h.first.size() < 3 || h.first[0] != 'V' || h.first[1] != 'X' ||
        h.first[2] != '-')
      continue;
    const std::string rest = h.first.substr(3);
    if (rest == "X-Mitigation") {
      keyword = h.second;
      keyword_given = true;
    } else if (rest == "X-Reason") {
      o.state.reason = h.second;
    } else if (rest == "Location") {
      o.state.url = h.second;
    } else {
      // Every Set-Cookie (in any letter case) stays; any other name keeps
      // its last value.
      std::string lower = rest;
      for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (lower != "set-cookie")
        o.state.challenge_headers.erase(rest);
      o.state.challenge_headers.emplace(rest, h.second);
    }
  }
  o.state.page = r.body;
  static const std::map<std::string, int> codes = {
      {"challenge", 2},        {"redirect", 3}, {"captcha", 4},
      {"return_fake_data", 5}, {"limit", 6},    {"inject", 7}};
  const auto found = keyword_given ? codes.find(keyword) : codes.end();
  if (found != codes.end())
    o.code = found->second;
  else if (r.status == 200)
    o.code = 0;
  else if (r.status == 403)
    o.code = 1;
  else {
    o.threw = true;
    // An exception's text is a C string: a body with a NUL ends there.
    o.message = r.body.c_str();
  }
  return o;
}

outcome decoded(vornex::api &record, const response &r) {
  outcome o;
  try {
    o.code = record.decode_response(r.status, r.headers, r.body);
    require(o.code >= 0 && o.code <= 7, "code outside 0..7");
  } catch (const std::runtime_error &e) {
    o.threw = true;
    o.message = e.what();
  } catch (...) {
    broken("decode_response threw something other than runtime_error");
  }
  o.state = state_of(record);
  // Whatever happened, nothing the module copies into a client response may
  // hold a line break or NUL.
  for (const auto &h : o.state.challenge_headers)
    require(!has_unsafe_byte(h.second), "challenge header value is unsafe");
  require(!has_unsafe_byte(o.state.reason), "reason is unsafe");
  require(!has_unsafe_byte(o.state.url), "mitigation URL is unsafe");
  return o;
}

void require_same(const outcome &got, const outcome &want, const char *rule) {
  require(got.threw == want.threw, rule);
  if (got.threw)
    require(got.message == want.message, rule);
  else
    require(got.code == want.code, rule);
  require(got.state == want.state, rule);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
  const std::string input(reinterpret_cast<const char *>(bytes), size);
  const std::string separator = "\n%%\n";
  const size_t split = input.find(separator);
  const response first = parsed_response(input.substr(0, split));
  const response second =
      split == std::string::npos
          ? first
          : parsed_response(input.substr(split + separator.size()));

  vornex::api record("127.0.0.1");
  const outcome one = decoded(record, first);
  require_same(one, expected(first, verdict_state{}),
               "first answer on a fresh record");

  const outcome two = decoded(record, second);
  require_same(two, expected(second, one.state), "second answer on the record");

  // Decoding the same answer again changes nothing.
  require_same(decoded(record, second), two, "same answer decoded twice");

  // The code comes from the answer alone, not from what an earlier answer
  // left in the record.
  vornex::api fresh("127.0.0.1");
  const outcome alone = decoded(fresh, second);
  require(alone.threw == two.threw && alone.code == two.code &&
              alone.message == two.message,
          "code depends on an earlier answer");
  return 0;
}
