// The regular expressions of the stand-in's rules.
#ifndef VORNEX_CHECK_SERVER_PATTERN_H
#define VORNEX_CHECK_SERVER_PATTERN_H

#include <regex.h>

#include <memory>
#include <string>
#include <string_view>

namespace vornex {
namespace check_server {

// A POSIX extended regular expression, searched for anywhere in a text.
// Matching does not recurse per input byte, so long inputs cannot exhaust
// the stack; compiled patterns are shared by copies and safe to use from
// several threads.
class pattern {
public:
  // Throws std::invalid_argument with the library's description of the
  // mistake.
  explicit pattern(const std::string &source);
  bool search(std::string_view text) const;
  const std::string &source() const { return text; }

private:
  std::string text;
  std::shared_ptr<regex_t> compiled;
};

} // namespace check_server
} // namespace vornex

#endif
