#include "address.h"

#include <arpa/inet.h>

#include <cctype>
#include <stdexcept>

namespace vornex {

namespace {

const char scheme_mark[] = "://";

bool scheme_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' ||
         c == '.';
}

// The length of the scheme at the start of `text`, "://" left out, or 0.
size_t scheme_length(const std::string &text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0])))
    return 0;
  size_t end = 1;
  while (end < text.size() && scheme_char(text[end]))
    ++end;
  return text.compare(end, 3, scheme_mark) == 0 ? end : 0;
}

std::string lower(std::string text) {
  for (char &c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

[[noreturn]] void refuse(const std::string &text, const std::string &why) {
  throw std::invalid_argument("'" + text + "': " + why);
}

// A port of one to five digits from 1 to 65535, or -1.
int port_number(const std::string &digits) {
  if (digits.empty() || digits.size() > 5)
    return -1;
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9')
      return -1;
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= 65535 ? value : -1;
}

// Characters a host name or an IPv4 address may hold here: those of a DNS
// name (letters, digits, "-", ".", and "_", which some internal names use).
bool name_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ||
         c == '_';
}

} // namespace

std::pair<std::string, int> split_server_name(const std::string &text) {
  const auto last_colon = text.rfind(':');
  if (last_colon == std::string::npos)
    return {text, 80};
  if (text.find(':') == last_colon) {
    const int port = std::stoi(text.substr(last_colon + 1));
    return {text.substr(0, last_colon), port};
  }
  const auto bracket = text.rfind(']');
  if (bracket == std::string::npos)
    return {text, 80};
  // "[v6]" with nothing after the bracket: no port was given.
  if (bracket + 1 == text.size())
    return {text.substr(1, bracket - 1), 80};
  const int port = std::stoi(text.substr(last_colon + 1));
  return {text.substr(1, bracket - 1), port};
}

bool has_scheme(const std::string &text) { return scheme_length(text) > 0; }

server_address parse_server_address(const std::string &text) {
  server_address address;
  const size_t length = scheme_length(text);
  if (length == 0) {
    auto split = split_server_name(text);
    address.host = std::move(split.first);
    address.port = split.second;
    return address;
  }
  address.scheme = true;
  const std::string scheme = lower(text.substr(0, length));
  if (scheme == "https")
    address.tls = true;
  else if (scheme != "http")
    refuse(text, "unknown scheme '" + text.substr(0, length) +
                     "' (only http:// and https:// are known)");
  address.port = address.tls ? 443 : 80;

  std::string rest = text.substr(length + 3);
  if (!rest.empty() && rest.back() == '/')
    rest.pop_back();
  if (rest.find_first_of("/?#") != std::string::npos)
    refuse(text, "nothing may follow the host and port but one \"/\"");
  if (rest.find('@') != std::string::npos)
    refuse(text, "no user name may come before the host");

  std::string port_text;
  bool has_port = false;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos)
      refuse(text, "an IPv6 address in \"[\" has no \"]\"");
    address.host = rest.substr(1, close - 1);
    in6_addr v6;
    if (inet_pton(AF_INET6, address.host.c_str(), &v6) != 1)
      refuse(text, "'" + address.host + "' is no IPv6 address");
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':')
        refuse(text, "only \":port\" may follow \"]\"");
      port_text = rest.substr(close + 2);
      has_port = true;
    }
  } else {
    const size_t colon = rest.find(':');
    if (colon != std::string::npos &&
        rest.find(':', colon + 1) != std::string::npos)
      refuse(text, "an IPv6 address must be written in brackets, as "
                   "[2001:db8::5]");
    address.host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      port_text = rest.substr(colon + 1);
      has_port = true;
    }
    for (char c : address.host)
      if (!name_char(c))
        refuse(text, "'" + address.host + "' is no host name or address");
  }
  if (address.host.empty())
    refuse(text, "no host");
  if (has_port) {
    address.port = port_number(port_text);
    if (address.port < 0)
      refuse(text, "the port must be a number from 1 to 65535");
  }
  return address;
}

bool is_ip_literal(const std::string &host) {
  in_addr v4;
  in6_addr v6;
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 ||
         inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

} // namespace vornex
