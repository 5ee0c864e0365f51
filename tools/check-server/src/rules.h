// Rules of the stand-in check service: what a check is matched on and the
// verdict it then gets. The file format is described in example.rules.
#ifndef VORNEX_CHECK_SERVER_RULES_H
#define VORNEX_CHECK_SERVER_RULES_H

#include <httplib.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "check_body.h"
#include "pattern.h"
#include "protocol.h"

namespace vornex {
namespace check_server {

// A rule's verdict: one of the protocol's, by its code, or none.
enum class verdict_kind {
  pass = protocol::pass,
  block = protocol::block,
  challenge = protocol::challenge,
  captcha = protocol::captcha,
  redirect = protocol::redirect,
  return_fake_data = protocol::return_fake_data,
  limit = protocol::limit,
  inject = protocol::inject,
  // No keyword: the HTTP status alone, as given.
  status = -1,
};

// A header of the original request (from the check body) or of the check
// call itself (the facts); without a pattern it only has to be present.
struct field_matcher {
  std::string name;
  std::optional<pattern> value;
};

struct rate_spec {
  unsigned long limit = 0;
  unsigned long window_seconds = 0;
};

struct rule {
  int line = 0;
  std::string name;
  bool is_default = false;

  std::vector<std::string> methods;
  std::vector<pattern> targets;
  std::vector<field_matcher> headers;
  std::vector<field_matcher> facts;
  std::optional<rate_spec> rate;

  verdict_kind kind = verdict_kind::pass;
  int status = 200;
  // Names without the "VX-" prefix, in file order.
  std::vector<std::pair<std::string, std::string>> challenge_headers;
  std::string page;
  std::optional<std::string> location;
  std::optional<std::string> reason;

  // The rule's name; unnamed, "default" or "line:N".
  std::string label() const;
};

// A parsed rules file: at least one rule, the last of which is the default.
using rule_set = std::vector<rule>;

// "FILE:LINE: what is wrong".
class rules_error : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Parses rules text; `file_name` is used in error messages, `base_dir` to
// find page files given by relative path. Throws rules_error.
rule_set parse_rules(const std::string &text, const std::string &file_name,
                     const std::string &base_dir);

// Reads and parses a rules file. Throws rules_error.
rule_set load_rules(const std::string &path);

// The rules used without a rules file: every check passes.
rule_set pass_all_rules();

// The keyword of a verdict, or the status as decimal text.
std::string verdict_name(const rule &r);

// True when every matcher of the rule holds for the request; the rate is not
// considered here.
bool matches(const rule &r, const check_request &request,
             const httplib::Headers &facts);

} // namespace check_server
} // namespace vornex

#endif
