// Check server addresses as configured: "host", "host:port", "[v6]:port" and
// the bare forms, read exactly as they always were, and addresses that name
// a scheme, "https://host[:port]" or "http://host[:port]". Only a text that
// starts with a scheme and "://" is read the second way, so every text
// without one keeps its old reading.
#ifndef VORNEX_ADDRESS_H
#define VORNEX_ADDRESS_H

#include <string>
#include <utility>

namespace vornex {

struct server_address {
  std::string host;
  int port = 80;
  bool tls = false;    // https://
  bool scheme = false; // the text named its scheme
};

// The form without a scheme: "host" (port 80), "host:port" (exactly one
// colon), "[v6]:port", "[v6]" and a bare IPv6 address (port 80). The port is
// converted as std::stoi does, unchecked; a port text that does not convert
// throws std::invalid_argument or std::out_of_range ("stoi").
std::pair<std::string, int> split_server_name(const std::string &text);

// True for a text that starts with a scheme: a letter, then letters, digits,
// "+", "-" or ".", then "://".
bool has_scheme(const std::string &text);

// Reads a configured address. A text with a scheme must be
// "http://" or "https://" (in any letter case) followed by a host name, an
// IPv4 address or an IPv6 address in brackets, an optional ":port" from 1 to
// 65535 (80 or 443 by default) and at most a "/"; anything else throws
// std::invalid_argument saying what is wrong. A text without a scheme is
// read by split_server_name, failures included.
server_address parse_server_address(const std::string &text);

// True when `host` is an IPv4 or IPv6 address rather than a name.
bool is_ip_literal(const std::string &host);

} // namespace vornex

#endif
