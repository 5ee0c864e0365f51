#include "field_name.h"

#include <cstddef>
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
char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `name` begins with `prefix`, written in lower case, ignoring the
// letter case of `name`.
bool starts_with(const std::string &name, const char *prefix) {
  const size_t n = std::strlen(prefix);
  if (name.size() < n)
    return false;
  for (size_t i = 0; i < n; ++i)
    if (lower(name[i]) != prefix[i])
      return false;
  return true;
}

bool is(const std::string &name, const char *lower_name) {
  return name.size() == std::strlen(lower_name) &&
         starts_with(name, lower_name);
}

const char *const server_only_names[] = {"content-length", "transfer-encoding",
                                         "trailer",        "connection",
                                         "keep-alive",     "te",
                                         "upgrade",        "host"};

} // namespace

bool server_only(const std::string &name) {
  for (const char *reserved : server_only_names)
    if (is(name, reserved))
      return true;
  return starts_with(name, "proxy-");
}

bool set_cookie(const std::string &name) { return is(name, "set-cookie"); }

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
