#include "options.h"

namespace vornex {
namespace check_server {

const char usage[] =
    "usage: vornex-check-server [--listen ADDR:PORT] [--rules FILE] "
    "[--threads N]\n"
    "                           [--fault MODE:START:SECONDS[:DELAY_MS]]...\n"
    "                           [--tls-cert FILE --tls-key FILE "
    "[--client-ca FILE]]\n"
    "  --listen ADDR:PORT  address to answer checks on (default "
    "127.0.0.1:8181;\n"
    "                      [IPv6]:PORT for IPv6, port 0 for any free port)\n"
    "  --rules FILE        rules file (default: every check passes)\n"
    "  --threads N         worker threads, 1 to 4096 (default 64)\n"
    "  --fault MODE:START:SECONDS[:DELAY_MS]\n"
    "                      from START to START+SECONDS after the server\n"
    "                      listens: answer, stay silent, refuse (reset) or\n"
    "                      delay each answer by DELAY_MS; may be repeated\n"
    "  --tls-cert FILE     answer over TLS with this PEM certificate (and "
    "chain)\n"
    "  --tls-key FILE      and this PEM key (both or neither)\n"
    "  --client-ca FILE    with TLS, require a client certificate issued by "
    "an\n"
    "                      authority in this PEM file\n";

bool whole_number(const std::string &text, unsigned long high,
                  unsigned long &value) {
  if (text.empty() || text.size() > 9)
    return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return value <= high;
}

bool parse_listen(const std::string &text, std::string &host, int &port) {
  std::string port_text;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() ||
        text[close + 1] != ':')
      return false;
    host = text.substr(1, close - 1);
    port_text = text.substr(close + 2);
  } else {
    const size_t colon = text.find(':');
    if (colon == std::string::npos ||
        text.find(':', colon + 1) != std::string::npos)
      return false;
    host = text.substr(0, colon);
    port_text = text.substr(colon + 1);
  }
  unsigned long value = 0;
  if (host.empty() || !whole_number(port_text, 65535, value))
    return false;
  port = static_cast<int>(value);
  return true;
}

bool parse_options(const std::vector<std::string> &args, options &out,
                   std::string &error) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string flag = args[i];
    std::string value;
    bool has_value = false;
    const size_t equals = flag.find('=');
    if (flag.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = flag.substr(equals + 1);
      flag = flag.substr(0, equals);
      has_value = true;
    }
    if (flag == "--help" || flag == "-h") {
      out.help = true;
      continue;
    }
    const bool file_flag =
        flag == "--tls-cert" || flag == "--tls-key" || flag == "--client-ca";
    if (flag != "--listen" && flag != "--rules" && flag != "--threads" &&
        flag != "--fault" && !file_flag) {
      error = "unknown argument '" + args[i] + "'";
      return false;
    }
    if (!has_value) {
      if (i + 1 >= args.size()) {
        error = flag + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (flag == "--listen") {
      if (!parse_listen(value, out.host, out.port)) {
        error = "--listen '" + value + "' is not ADDR:PORT";
        return false;
      }
    } else if (flag == "--rules" || file_flag) {
      if (value.empty()) {
        error = flag + " needs a file name";
        return false;
      }
      (flag == "--rules"      ? out.rules_path
       : flag == "--tls-cert" ? out.tls_cert
       : flag == "--tls-key"  ? out.tls_key
                              : out.client_ca) = value;
    } else if (flag == "--fault") {
      fault f;
      if (!parse_fault(value, f, error)) {
        error = "--fault '" + value + "': " + error;
        return false;
      }
      out.faults.push_back(f);
    } else {
      unsigned long threads = 0;
      if (!whole_number(value, 4096, threads) || threads == 0) {
        error = "--threads '" + value + "' is not from 1 to 4096";
        return false;
      }
      out.threads = threads;
    }
  }
  if (out.tls_cert.empty() != out.tls_key.empty()) {
    error = "--tls-cert and --tls-key go together";
    return false;
  }
  if (!out.client_ca.empty() && out.tls_cert.empty()) {
    error = "--client-ca needs --tls-cert and --tls-key";
    return false;
  }
  return true;
}

} // namespace check_server
} // namespace vornex
