// Fuzz target for server address parsing: the whole input is one configured
// server text, handed to parse_server_name, the record's constructor and
// set_server_name. Every outcome is compared with an independent reading of
// the address forms, and a few derived texts ("host:port", "[v6]:port") are
// checked to split back into their parts. A text that starts with a scheme
// is read by parse_server_address instead, whose accepted addresses are
// written out again and must read back the same. A broken rule aborts with a
// line on stderr, so libFuzzer keeps the input.
#include "api.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

[[noreturn]] void broken(const char *rule, const std::string &text) {
  std::fprintf(stderr, "fuzz_address: %s (input of %zu bytes)\n", rule,
               text.size());
  std::abort();
}

void require(bool holds, const char *rule, const std::string &text) {
  if (!holds)
    broken(rule, text);
}

enum class outcome { parsed, invalid_argument, out_of_range };

struct parse_result {
  outcome kind = outcome::parsed;
  std::string host;
  int port = 0;
};

// Decimal conversion as the C library's strtol reads a C string: the text
// ends at its first NUL, white space is skipped, one sign is read, then
// digits up to the first non-digit. A value outside int is out of range.
parse_result expected_port(const std::string &text) {
  parse_result r;
  const char *p = text.c_str();
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' ||
         *p == '\r')
    ++p;
  bool negative = false;
  if (*p == '+' || *p == '-')
    negative = *p++ == '-';
  if (*p < '0' || *p > '9') {
    r.kind = outcome::invalid_argument;
    return r;
  }
  // Saturating accumulation: anything past INT_MAX + 1 is out of range
  // whatever digits follow.
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p)
    if (value <= static_cast<long long>(INT_MAX) + 1)
      value = value * 10 + (*p - '0');
  if (negative)
    value = -value;
  if (value > INT_MAX || value < INT_MIN) {
    r.kind = outcome::out_of_range;
    return r;
  }
  r.port = static_cast<int>(value);
  return r;
}

// The address forms read from the text, independently of the parser.
parse_result expected_split(const std::string &text) {
  size_t colons = 0;
  size_t last_colon = std::string::npos;
  size_t last_bracket = std::string::npos;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ':') {
      ++colons;
      last_colon = i;
    } else if (text[i] == ']') {
      last_bracket = i;
    }
  }
  parse_result r;
  if (colons == 0 || (colons >= 2 && last_bracket == std::string::npos)) {
    r.host = text;
    r.port = 80;
    return r;
  }
  if (colons == 1) {
    r = expected_port(text.substr(last_colon + 1));
    r.host = text.substr(0, last_colon);
    return r;
  }
  // Bracketed: nothing after the "]" means no port was given.
  if (last_bracket + 1 == text.size()) {
    r.port = 80;
  } else {
    r = expected_port(text.substr(last_colon + 1));
  }
  if (last_bracket >= 1)
    r.host = text.substr(1, last_bracket - 1);
  return r;
}

parse_result run_parse(vornex::api &record, const std::string &text) {
  parse_result r;
  try {
    auto server = record.parse_server_name(text);
    r.host = std::move(server.first);
    r.port = server.second;
  } catch (const std::invalid_argument &e) {
    require(std::string(e.what()) == "stoi", "invalid_argument not \"stoi\"",
            text);
    r.kind = outcome::invalid_argument;
  } catch (const std::out_of_range &e) {
    require(std::string(e.what()) == "stoi", "out_of_range not \"stoi\"", text);
    r.kind = outcome::out_of_range;
  } catch (...) {
    broken("parse_server_name threw another exception", text);
  }
  return r;
}

void check_parse(vornex::api &record, const std::string &text) {
  const parse_result got = run_parse(record, text);
  const parse_result want = expected_split(text);
  require(got.kind == want.kind, "parse outcome differs", text);
  if (got.kind != outcome::parsed)
    return;
  require(got.port == want.port, "port differs", text);
  // A "]" first in a text with two colons leaves no room for a host between
  // brackets; only that the host comes from the text is required there.
  const size_t last_bracket = text.rfind(']');
  const bool bracket_first =
      text.find(':') != text.rfind(':') && last_bracket == 0 && text.size() > 1;
  if (bracket_first)
    require(text.find(got.host) != std::string::npos,
            "host is not part of the text", text);
  else
    require(got.host == want.host, "host differs", text);
}

// What the record shows without a network, to see that parsing and failed
// re-targets change nothing of it.
struct visible_state {
  std::string data;
  std::string page;
  std::string reason;
  std::string url;
  size_t challenge_headers = 0;
  bool operator==(const visible_state &o) const {
    return data == o.data && page == o.page && reason == o.reason &&
           url == o.url && challenge_headers == o.challenge_headers;
  }
};

visible_state state_of(vornex::api &record) {
  visible_state s;
  s.data.assign(record.get_data(), record.get_data_size());
  s.page = record.get_challenge_page();
  s.reason = record.get_reason();
  s.url = record.get_mitigation_url();
  s.challenge_headers = record.get_challenge_headers().size();
  return s;
}

// A record with something in every visible field.
void fill(vornex::api &record) {
  record.add_data("GET / HTTP/1.1\r\n");
  httplib::Headers answer{
      {"VX-X-Reason", "seen"}, {"VX-Location", "/seen"}, {"VX-Kept", "1"}};
  if (record.decode_response(200, answer, "page") != 0)
    broken("setup answer did not pass", "");
}

// What the constructor and set_server_name make of a text with a scheme:
// an address, or invalid_argument; an address read back from its own
// written form gives the same.
outcome scheme_outcome(const std::string &text) {
  vornex::server_address address;
  try {
    address = vornex::parse_server_address(text);
  } catch (const std::invalid_argument &) {
    return outcome::invalid_argument;
  } catch (...) {
    broken("parse_server_address threw another exception", text);
  }
  require(address.scheme, "address with a scheme not marked so", text);
  require(!address.host.empty(), "address with a scheme and no host", text);
  require(address.port >= 1 && address.port <= 65535,
          "port of an address with a scheme out of range", text);
  const std::string host = address.host.find(':') == std::string::npos
                               ? address.host
                               : "[" + address.host + "]";
  const std::string written = (address.tls ? "https://" : "http://") + host +
                              ":" + std::to_string(address.port);
  const vornex::server_address again = vornex::parse_server_address(written);
  require(again.host == address.host && again.port == address.port &&
              again.tls == address.tls,
          "address with a scheme does not read back", text);
  return outcome::parsed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
  const std::string text(reinterpret_cast<const char *>(bytes), size);

  vornex::api record("127.0.0.1:1");
  fill(record);
  const visible_state before = state_of(record);

  check_parse(record, text);
  require(state_of(record) == before, "parse_server_name changed the record",
          text);

  // The constructor and set_server_name fail exactly when parsing does, with
  // the same exception type: parse_server_name's for a text without a
  // scheme, parse_server_address's for one with a scheme.
  const bool scheme = vornex::has_scheme(text);
  const outcome parsed =
      scheme ? scheme_outcome(text) : run_parse(record, text).kind;
  outcome constructed = outcome::parsed;
  try {
    vornex::api other(text);
    require(other.get_data_size() == 0, "new record has a body", text);
  } catch (const std::invalid_argument &) {
    constructed = outcome::invalid_argument;
  } catch (const std::out_of_range &) {
    constructed = outcome::out_of_range;
  } catch (...) {
    broken("constructor threw another exception", text);
  }
  require(constructed == parsed, "constructor outcome differs from parse",
          text);

  outcome retargeted = outcome::parsed;
  try {
    record.set_server_name(text);
  } catch (const std::invalid_argument &) {
    retargeted = outcome::invalid_argument;
  } catch (const std::out_of_range &) {
    retargeted = outcome::out_of_range;
  } catch (...) {
    broken("set_server_name threw another exception", text);
  }
  require(retargeted == parsed, "set_server_name outcome differs from parse",
          text);
  require(state_of(record) == before,
          "set_server_name changed more than the server", text);

  // Derived texts: a host without a colon followed by ":port", and a text
  // without "]" put in brackets before ":port", split back into their parts.
  const int port = static_cast<int>(size * 7919 % 70000) - 1000;
  const std::string suffix = ":" + std::to_string(port);
  if (text.find(':') == std::string::npos) {
    const parse_result r = run_parse(record, text + suffix);
    require(r.kind == outcome::parsed && r.host == text && r.port == port,
            "host:port does not split back", text);
  }
  // Only a text with a colon is read as an address between brackets; with
  // none, "[text]:port" is the one-colon form.
  const auto colons = std::count(text.begin(), text.end(), ':');
  if (text.find(']') == std::string::npos && colons >= 1) {
    const parse_result r = run_parse(record, "[" + text + "]" + suffix);
    require(r.kind == outcome::parsed && r.host == text && r.port == port,
            "[host]:port does not split back", text);
  }
  if (text.find(']') == std::string::npos && colons >= 2) {
    const parse_result bare = run_parse(record, "[" + text + "]");
    require(bare.kind == outcome::parsed && bare.host == text &&
                bare.port == 80,
            "[v6] without port does not give port 80", text);
  }
  return 0;
}
