// A rule's label and verdict name, and the rules used without a rules file.
#include "rules.h"

namespace vornex {
namespace check_server {

std::string rule::label() const {
  if (!name.empty())
    return name;
  return is_default ? std::string("default") : "line:" + std::to_string(line);
}

rule_set pass_all_rules() {
  rule r;
  r.line = 0;
  r.name = "pass-all";
  r.is_default = true;
  return rule_set{r};
}

std::string verdict_name(const rule &r) {
  if (const char *keyword = protocol::keyword_of(static_cast<int>(r.kind)))
    return keyword;
  return std::to_string(r.status);
}

} // namespace check_server
} // namespace vornex
