// Header field names that may go out in a response.
#ifndef VORNEX_FIELD_NAME_H
#define VORNEX_FIELD_NAME_H

#include <string>

namespace vornex {
namespace field_name {

// True when `name` is a non-empty run of HTTP token characters: letters,
// digits and !#$%&'*+-.^_`|~. Anything else (a space, a colon, a control
// byte, a byte above 0x7e) would break the response's header block.
bool valid(const std::string &name);

} // namespace field_name
} // namespace vornex

#endif
