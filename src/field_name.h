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

// True for a name that only the server may set in a response it sends,
// ignoring letter case: the message's framing (Content-Length,
// Transfer-Encoding, Trailer), the connection (Connection, Keep-Alive, TE,
// Upgrade), proxy hops (any Proxy-*) and Host. Copied from elsewhere into a
// response, such a header could make a client read the response's end, or
// the next response on the connection, where the server did not put it.
bool server_only(const std::string &name);

// True for Set-Cookie in any letter case: the one field that is sent as
// several header lines and never combined into one.
bool set_cookie(const std::string &name);

} // namespace field_name
} // namespace vornex

#endif
