// Whether a rule's matchers hold for one check.
#include "rules.h"

#include <algorithm>
#include <cctype>

namespace vornex {
namespace check_server {

namespace {

bool equal_ignoring_case(const std::string &a, const std::string &b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool field_holds(const field_matcher &matcher, const std::string &value) {
  return !matcher.value || matcher.value->search(value);
}

} // namespace

bool matches(const rule &r, const check_request &request,
             const httplib::Headers &facts) {
  if (!r.methods.empty() && std::find(r.methods.begin(), r.methods.end(),
                                      request.method) == r.methods.end())
    return false;
  for (const auto &target : r.targets)
    if (!target.search(request.target))
      return false;
  for (const auto &matcher : r.headers) {
    bool found = false;
    for (const auto &header : request.headers)
      if (equal_ignoring_case(header.first, matcher.name) &&
          field_holds(matcher, header.second)) {
        found = true;
        break;
      }
    if (!found)
      return false;
  }
  for (const auto &matcher : r.facts) {
    bool found = false;
    auto range = facts.equal_range(matcher.name);
    for (auto it = range.first; it != range.second && !found; ++it)
      found = field_holds(matcher, it->second);
    if (!found)
      return false;
  }
  return true;
}

} // namespace check_server
} // namespace vornex
