// Command line of vornex-check-server.
#ifndef VORNEX_CHECK_SERVER_OPTIONS_H
#define VORNEX_CHECK_SERVER_OPTIONS_H

#include <cstddef>
#include <string>
#include <vector>

#include "fault.h"

namespace vornex {
namespace check_server {

struct options {
  std::string host = "127.0.0.1";
  int port = 8181;
  // Empty: every check passes.
  std::string rules_path;
  size_t threads = 64;
  // Faults to show, each timed from the moment the server listens.
  std::vector<fault> faults;
  // With both, the server answers over TLS with this certificate (and its
  // chain) and key, PEM; with client_ca too, it requires a client
  // certificate issued by one of the authorities in that file.
  std::string tls_cert;
  std::string tls_key;
  std::string client_ca;
  bool help = false;
};

extern const char usage[];

// Parses the arguments after the program name; "--flag VALUE" and
// "--flag=VALUE" both work. Returns false with a message in `error`.
bool parse_options(const std::vector<std::string> &args, options &out,
                   std::string &error);

// Reads up to nine decimal digits and nothing else, at most `high`.
bool whole_number(const std::string &text, unsigned long high,
                  unsigned long &value);

// Splits "ADDR:PORT" or "[IPv6]:PORT"; the port may be 0 for any free port.
bool parse_listen(const std::string &text, std::string &host, int &port);

} // namespace check_server
} // namespace vornex

#endif
