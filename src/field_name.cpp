#include "field_name.h"

#include <cstring>

namespace vornex {
namespace field_name {

namespace {
bool token_char(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
      (c >= '0' && c <= '9'))
    return true;
  // NUL is no token character; strchr would find the terminator.
  return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}
} // namespace

bool valid(const std::string &name) {
  if (name.empty())
    return false;
  for (const char c : name)
    if (!token_char(static_cast<unsigned char>(c)))
      return false;
  return true;
}

} // namespace field_name
} // namespace vornex
