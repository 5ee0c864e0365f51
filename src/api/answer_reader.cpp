#include "answer_reader.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace vornex {

namespace {

bool space_or_tab(char c) { return c == ' ' || c == '\t'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// `count` hex digits at `at`, none of them NUL and all before `end`.
bool hex_digits(const char *at, const char *end, int count, int &value) {
  value = 0;
  for (int i = 0; i < count; ++i) {
    if (at + i >= end)
      return false;
    const int digit = hex_value(at[i]);
    if (digit < 0)
      return false;
    value = value * 16 + digit;
  }
  return true;
}

// A code point as UTF-8; surrogates and values past the last code point
// give nothing.
size_t utf8(int code, char *out) {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    out[0] = static_cast<char>(0xC0 | (code >> 6));
    out[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0xD800 || (code >= 0xE000 && code < 0x10000)) {
    out[0] = static_cast<char>(0xE0 | (code >> 12));
    out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  return 0;
}

// The status line as the library matches it: "HTTP/1.0" or "HTTP/1.1", a
// space, three digits, optionally a space and a reason without a carriage
// return, then CRLF or a bare line feed; the line is read as a C string, up
// to a NUL.
bool parse_status(const char *line, size_t size, httplib::Response &response) {
  const char *nul = static_cast<const char *>(std::memchr(line, '\0', size));
  if (nul)
    size = static_cast<size_t>(nul - line);
  static const char version[] = "HTTP/1.";
  const size_t prefix = sizeof version - 1;
  if (size < prefix + 1 + 1 + 3 + 1 || std::memcmp(line, version, prefix) != 0)
    return false;
  const char minor = line[prefix];
  if ((minor != '0' && minor != '1') || line[prefix + 1] != ' ')
    return false;
  const char *digits = line + prefix + 2;
  for (int i = 0; i < 3; ++i)
    if (digits[i] < '0' || digits[i] > '9')
      return false;
  const char *after = digits + 3;
  const char *line_end = line + size;
  if (line_end[-1] != '\n')
    return false;
  const char *reason_end = line_end - 1;
  if (reason_end > after && reason_end[-1] == '\r')
    --reason_end;
  const char *reason = after;
  if (after < reason_end) {
    if (*after != ' ')
      return false;
    reason = after + 1;
    for (const char *c = reason; c < reason_end; ++c)
      if (*c == '\r' || *c == '\n')
        return false;
  }
  response.version.assign(line, prefix + 1);
  response.status =
      (digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0');
  response.reason.assign(reason, reason_end);
  return true;
}

template <size_t size>
bool same_name(const std::string &name, const char (&known)[size]) {
  return name.size() == size - 1 &&
         strncasecmp(name.data(), known, size - 1) == 0;
}

} // namespace

std::string answer_reader::decode_value(const char *begin, const char *end) {
  std::string out;
  out.reserve(static_cast<size_t>(end - begin));
  for (const char *c = begin; c < end; ++c) {
    if (*c != '%' || c + 1 >= end) {
      out += *c;
      continue;
    }
    int value = 0;
    if (c[1] == 'u') {
      if (hex_digits(c + 2, end, 4, value)) {
        char bytes[4];
        out.append(bytes, utf8(value, bytes));
        c += 5;
      } else {
        out += *c;
      }
    } else if (hex_digits(c + 1, end, 2, value)) {
      out += static_cast<char>(value);
      c += 2;
    } else {
      out += *c;
    }
  }
  return out;
}

bool answer_reader::refuse(answer_meter::excess why) {
  exceeded = why;
  failed = true;
  return false;
}

bool answer_reader::fill() {
  if (at_end || failed)
    return false;
  if (start > 0) {
    std::memmove(buffer.data(), buffer.data() + start, end - start);
    end -= start;
    start = 0;
  }
  // A line as long as the buffer is over any bound a reader is given.
  if (end == buffer.size())
    return refuse(answer_meter::excess::line_bytes);
  const ssize_t got = from->read(buffer.data() + end, buffer.size() - end);
  if (got < 0) {
    failed = true;
    return false;
  }
  if (got == 0) {
    at_end = true;
    return false;
  }
  end += static_cast<size_t>(got);
  return true;
}

bool answer_reader::next_line() {
  size_t searched = start;
  for (;;) {
    const char *found = static_cast<const char *>(
        std::memchr(buffer.data() + searched, '\n', end - searched));
    if (found) {
      line_size = static_cast<size_t>(found - (buffer.data() + start)) + 1;
      break;
    }
    if (end - start > limits.line_bytes)
      return refuse(answer_meter::excess::line_bytes);
    searched = end;
    const size_t offset = searched - start;
    if (!fill()) {
      if (failed || end == start)
        return false;
      // The connection ended inside a line: the line so far.
      line_size = end - start;
      break;
    }
    searched = start + offset;
  }
  if (line_size - (buffer[start + line_size - 1] == '\n' ? 1 : 0) >
      limits.line_bytes)
    return refuse(answer_meter::excess::line_bytes);
  if (in_head) {
    head_bytes += line_size;
    if (head_bytes > limits.head_bytes)
      return refuse(answer_meter::excess::head_bytes);
    if (buffer[start + line_size - 1] == '\n' &&
        ++head_lines > limits.head_lines)
      return refuse(answer_meter::excess::head_lines);
  }
  line = buffer.data() + start;
  start += line_size;
  return true;
}

bool answer_reader::read_status(httplib::Response &response) {
  if (!next_line() || !parse_status(line, line_size, response))
    return false;
  // An interim answer: its next line is passed over, and the line after
  // is the status line of the answer.
  while (response.status == 100)
    if (!next_line() || !next_line() ||
        !parse_status(line, line_size, response))
      return false;
  return true;
}

bool answer_reader::read_headers(httplib::Headers &headers) {
  for (;;) {
    if (!next_line())
      return false;
    // Only lines that end in CRLF count; the empty one ends the head.
    if (line_size < 2 || line[line_size - 2] != '\r' ||
        line[line_size - 1] != '\n')
      continue;
    if (line_size == 2)
      return true;
    if (line_size > CPPHTTPLIB_HEADER_MAX_LENGTH)
      return false;
    const char *begin = line;
    const char *stop = line + line_size - 2;
    while (begin < stop && space_or_tab(stop[-1]))
      --stop;
    const char *colon =
        static_cast<const char *>(std::memchr(begin, ':', stop - begin));
    // A line without a colon, or with an empty value, is passed over.
    if (!colon)
      continue;
    const char *value = colon + 1;
    while (value < stop && space_or_tab(*value))
      ++value;
    if (value < stop) {
      const auto added =
          headers.emplace(std::string(begin, colon), decode_value(value, stop));
      // The first of each name is the one the library's lookups find.
      const std::string &name = added->first;
      const std::string **first =
          same_name(name, "Content-Length")      ? &content_length
          : same_name(name, "Transfer-Encoding") ? &transfer_coding
          : same_name(name, "Connection")        ? &connection
                                                 : nullptr;
      if (first && !*first)
        *first = &added->second;
    }
  }
}

bool answer_reader::read_length(uint64_t length, answer_sink &sink,
                                bool &stopped) {
  while (length > 0) {
    if (start == end && !fill())
      return false;
    const size_t piece =
        static_cast<size_t>(std::min<uint64_t>(length, end - start));
    if (!sink.take(buffer.data() + start, piece)) {
      stopped = true;
      return false;
    }
    start += piece;
    length -= piece;
  }
  return true;
}

bool answer_reader::read_to_end(answer_sink &sink, bool &stopped) {
  for (;;) {
    if (start == end && !fill())
      return !failed;
    if (!sink.take(buffer.data() + start, end - start)) {
      stopped = true;
      return false;
    }
    start = end;
  }
}

bool answer_reader::read_chunked(answer_sink &sink, bool &stopped) {
  // Lines are read as C strings, as the library reads them.
  std::string text;
  auto as_text = [&] {
    text.assign(line, line_size);
    return text.c_str();
  };
  if (!next_line())
    return false;
  unsigned long size = 0;
  for (;;) {
    const char *size_text = as_text();
    char *after = nullptr;
    size = std::strtoul(size_text, &after, 16);
    if (after == size_text || size == ULONG_MAX)
      return false;
    if (size == 0)
      break;
    if (!read_length(size, sink, stopped))
      return false;
    if (!next_line())
      return false;
    // Anything but an empty line after the data ends the body here.
    if (std::strcmp(as_text(), "\r\n") != 0)
      break;
    if (!next_line())
      return false;
  }
  if (size == 0)
    return next_line() && std::strcmp(as_text(), "\r\n") == 0;
  return true;
}

answer_reader::outcome answer_reader::read(answer_source &source,
                                           httplib::Response &response,
                                           answer_sink &sink) {
  from = &source;
  if (!read_status(response) || !read_headers(response.headers))
    return outcome::read;
  in_head = false;
  if (response.status != 204) {
    if (!sink.head(response))
      return outcome::canceled;
    bool stopped = false;
    bool whole;
    if (transfer_coding && strcasecmp(transfer_coding->c_str(), "chunked") == 0)
      whole = read_chunked(sink, stopped);
    else if (!content_length)
      whole = read_to_end(sink, stopped);
    else
      whole = read_length(std::strtoull(content_length->c_str(), nullptr, 10),
                          sink, stopped);
    if (!whole)
      return stopped ? outcome::canceled : outcome::read;
  }
  close_after = (connection && *connection == "close") ||
                (response.version == "HTTP/1.0" &&
                 response.reason != "Connection established");
  return outcome::done;
}

namespace {

unsigned char lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// The library's header map orders names by their bytes in lower case:
// below zero when `a` comes first, zero for the same name.
int compare_names(const char *a, const std::string &b) {
  const auto *x = reinterpret_cast<const unsigned char *>(a);
  const auto *y = reinterpret_cast<const unsigned char *>(b.data());
  const size_t length = b.size();
  for (size_t i = 0;; ++i, ++x) {
    if (*x == '\0')
      return i == length ? 0 : -1;
    if (i == length)
      return 1;
    const int d = lower(*x) - lower(y[i]);
    if (d != 0)
      return d;
  }
}

void append_header(std::string &out, const char *name, const char *value) {
  // The library formats "%s: %s": each text up to a NUL.
  out.append(name);
  out.append(": ", 2);
  out.append(value);
  out.append("\r\n", 2);
}

} // namespace

void write_request_head(std::string &out, const char *path,
                        const httplib::Headers &headers,
                        const std::string &host, const char *content_type,
                        bool keep_alive, uint64_t content_length) {
  // The headers the library adds where the record has none, by name in the
  // map's order; an added one goes after the record's of the same name.
  struct added {
    const char *name;
    const char *value;
    bool own; // given as one of the record's: it goes in either way
  };
  char length[24];
  char *digits = length + sizeof length - 1;
  *digits = '\0';
  do
    *--digits = static_cast<char>('0' + content_length % 10);
  while ((content_length /= 10) != 0);
  added adds[6];
  size_t count = 0;
  adds[count++] = {"Accept", "*/*", false};
  if (!keep_alive)
    adds[count++] = {"Connection", "close", false};
  adds[count++] = {"Content-Length", digits, false};
  if (content_type)
    adds[count++] = {"Content-Type", content_type, true};
  adds[count++] = {"Host", host.c_str(), false};
  adds[count++] = {"User-Agent", "cpp-httplib/" CPPHTTPLIB_VERSION, false};

  // Room for a usual head at once; a kept connection's string has it from
  // its first check on.
  out.reserve(out.size() + 1024);
  out.append("POST ");
  out.append(path);
  out.append(" HTTP/1.1\r\n");
  // One walk through the record's headers, in order, with the added ones
  // merged in where they fall; the record's own header of an added name
  // comes first and stops the library adding its own.
  size_t next = 0;
  for (const auto &header : headers) {
    while (next < count) {
      const int order = compare_names(adds[next].name, header.first);
      if (order > 0)
        break;
      if (order < 0)
        append_header(out, adds[next].name, adds[next].value);
      else if (adds[next].own)
        break;
      ++next;
    }
    append_header(out, header.first.c_str(), header.second.c_str());
  }
  for (; next < count; ++next)
    append_header(out, adds[next].name, adds[next].value);
  out.append("\r\n", 2);
}

} // namespace vornex
