#include "response.h"

namespace vornex {
namespace check_server {

std::string encode_value(const std::string &value) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '%' || byte < 0x20 || byte == 0x7f) {
      out += '%';
      out += hex[byte >> 4];
      out += hex[byte & 0x0f];
    } else {
      out += c;
    }
  }
  return out;
}

check_response build_response(const rule &r) {
  check_response response;
  response.status = r.status;
  switch (r.kind) {
  case verdict_kind::pass:
  case verdict_kind::block:
  case verdict_kind::status:
    break;
  default:
    response.headers.emplace_back(std::string(protocol::prefix) +
                                      protocol::answer::mitigation,
                                  verdict_name(r));
  }
  if (r.reason)
    response.headers.emplace_back(std::string(protocol::prefix) +
                                      protocol::answer::reason,
                                  encode_value(*r.reason));
  if (r.location)
    response.headers.emplace_back(std::string(protocol::prefix) +
                                      protocol::answer::location,
                                  encode_value(*r.location));
  for (const auto &header : r.challenge_headers)
    response.headers.emplace_back(protocol::prefix + header.first,
                                  encode_value(header.second));
  response.body = r.page;
  if (!response.body.empty())
    response.content_type = "text/html; charset=utf-8";
  return response;
}

check_response bad_request(const std::string &reason) {
  check_response response;
  response.status = 400;
  response.body = reason;
  response.content_type = "text/plain";
  return response;
}

} // namespace check_server
} // namespace vornex
