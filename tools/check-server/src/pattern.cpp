#include "pattern.h"

#include <stdexcept>

namespace vornex {
namespace check_server {

pattern::pattern(const std::string &source) : text(source) {
  auto re = std::make_unique<regex_t>();
  const int rc = regcomp(re.get(), source.c_str(), REG_EXTENDED | REG_NOSUB);
  if (rc != 0) {
    // A failed regcomp leaves nothing to free.
    char message[256];
    regerror(rc, re.get(), message, sizeof message);
    throw std::invalid_argument(message);
  }
  compiled = std::shared_ptr<regex_t>(re.release(), [](regex_t *p) {
    regfree(p);
    delete p;
  });
}

bool pattern::search(std::string_view subject) const {
  // REG_STARTEND bounds the text by length, so bytes after a NUL count too.
  regmatch_t bounds[1];
  bounds[0].rm_so = 0;
  bounds[0].rm_eo = static_cast<regoff_t>(subject.size());
  const char *begin = subject.empty() ? "" : subject.data();
  return regexec(compiled.get(), begin, 1, bounds, REG_STARTEND) == 0;
}

} // namespace check_server
} // namespace vornex
