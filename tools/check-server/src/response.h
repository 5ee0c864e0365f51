// The check response that carries a rule's verdict, as it goes on the wire.
#ifndef VORNEX_CHECK_SERVER_RESPONSE_H
#define VORNEX_CHECK_SERVER_RESPONSE_H

#include <string>
#include <utility>
#include <vector>

#include "rules.h"

namespace vornex {
namespace check_server {

struct check_response {
  int status = 200;
  // Full names ("VX-X-Mitigation") with wire values.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string content_type;
};

// The module percent-decodes every header value it receives; this escapes
// '%' and control bytes so that it ends up with exactly the given text.
std::string encode_value(const std::string &value);

// The answer for a check that the rule decided.
check_response build_response(const rule &r);

// The answer for a check body that is not in the module's form.
check_response bad_request(const std::string &reason);

} // namespace check_server
} // namespace vornex

#endif
