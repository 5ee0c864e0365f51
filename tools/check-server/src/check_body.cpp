#include "check_body.h"

#include "field_name.h"

namespace vornex {
namespace check_server {

namespace {

const char line_end[] = "\r\n";

bool has_byte(const std::string &text, size_t begin, size_t end, char c) {
  for (size_t i = begin; i < end; ++i)
    if (text[i] == c)
      return true;
  return false;
}

// Splits "METHOD TARGET [PROTOCOL]" on single spaces.
bool parse_request_line(check_request &request, std::string &error) {
  const std::string &line = request.request_line;
  if (line.empty()) {
    error = "empty request line";
    return false;
  }
  std::vector<std::string> parts;
  size_t begin = 0;
  while (begin <= line.size()) {
    size_t space = line.find(' ', begin);
    if (space == std::string::npos)
      space = line.size();
    parts.push_back(line.substr(begin, space - begin));
    begin = space + 1;
  }
  if (parts.size() < 2 || parts.size() > 3) {
    error = "request line is not \"METHOD TARGET [PROTOCOL]\"";
    return false;
  }
  for (const auto &part : parts)
    if (part.empty()) {
      error = "request line is not \"METHOD TARGET [PROTOCOL]\"";
      return false;
    }
  if (!is_token(parts[0])) {
    error = "bad method in request line";
    return false;
  }
  for (char c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      error = "control byte in request line";
      return false;
    }
  request.method = parts[0];
  request.target = parts[1];
  if (parts.size() == 3)
    request.protocol = parts[2];
  return true;
}

bool parse_header_line(const std::string &data, size_t begin, size_t end,
                       check_request &request, std::string &error) {
  if (has_byte(data, begin, end, '\r') || has_byte(data, begin, end, '\n')) {
    error = "stray line break in header line";
    return false;
  }
  if (has_byte(data, begin, end, '\0')) {
    error = "NUL byte in header line";
    return false;
  }
  const size_t colon = data.find(':', begin);
  if (colon == std::string::npos || colon >= end) {
    error = "header line without a colon";
    return false;
  }
  std::string name = data.substr(begin, colon - begin);
  if (!is_token(name)) {
    error = "bad header name";
    return false;
  }
  size_t value_begin = colon + 1;
  while (value_begin < end &&
         (data[value_begin] == ' ' || data[value_begin] == '\t'))
    ++value_begin;
  request.headers.emplace_back(std::move(name),
                               data.substr(value_begin, end - value_begin));
  return true;
}

} // namespace

bool is_token(const std::string &text) { return field_name::valid(text); }

bool parse_check_body(const std::string &data, check_request &request,
                      std::string &error) {
  request = check_request();
  if (data.empty()) {
    error = "empty check body";
    return false;
  }
  const size_t first_end = data.find(line_end);
  if (first_end == std::string::npos) {
    error = "request line without line end";
    return false;
  }
  request.request_line = data.substr(0, first_end);
  if (request.request_line.find('\0') != std::string::npos) {
    error = "NUL byte in request line";
    return false;
  }
  if (!parse_request_line(request, error))
    return false;

  size_t pos = first_end + 2;
  while (pos < data.size()) {
    if (data.compare(pos, 2, line_end) == 0) {
      // The empty line before the body; an empty line with nothing after it
      // is taken as no body.
      request.body_size = data.size() - pos - 2;
      request.has_body = request.body_size > 0;
      return true;
    }
    const size_t end = data.find(line_end, pos);
    if (end == std::string::npos) {
      error = "header line without line end";
      return false;
    }
    if (!parse_header_line(data, pos, end, request, error))
      return false;
    pos = end + 2;
  }
  return true;
}

} // namespace check_server
} // namespace vornex
