// The check body as the module sends it: the original request line, "\r\n",
// one "Name: value\r\n" line per request header and, only when the request
// had a body, "\r\n" and the body bytes.
#ifndef VORNEX_CHECK_SERVER_CHECK_BODY_H
#define VORNEX_CHECK_SERVER_CHECK_BODY_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace vornex {
namespace check_server {

struct check_request {
  std::string request_line;
  std::string method;
  std::string target;
  // Empty for a request line without a protocol ("GET /").
  std::string protocol;
  // In the order of the check body; a header sent twice gives two entries.
  std::vector<std::pair<std::string, std::string>> headers;
  bool has_body = false;
  size_t body_size = 0;
};

// Parses a check body into `request`. Returns false, with a short reason in
// `error`, for anything that is not in the module's form.
bool parse_check_body(const std::string &data, check_request &request,
                      std::string &error);

// True for a non-empty header name or method made only of token characters.
bool is_token(const std::string &text);

} // namespace check_server
} // namespace vornex

#endif
