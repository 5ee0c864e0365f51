// The check protocol as both ends speak it: the path a check is posted to,
// the user agent the module sends, the fact headers, the answer's header
// names and the verdicts with their codes. The module's client, the stand-in
// check service and the bench tool take them from here; docs/protocol.md is
// tested against this file.
#ifndef VORNEX_PROTOCOL_H
#define VORNEX_PROTOCOL_H

#include <cstddef>

// The project version from CMakeLists.txt; the vornex_protocol target
// defines it for everything that links it.
#ifndef VORNEX_VERSION
#error "VORNEX_VERSION is not defined: link the vornex_protocol target"
#endif

namespace vornex {
namespace protocol {

// Every check is one POST to this path.
inline constexpr char check_path[] = "/v2.1/check";

inline constexpr char user_agent[] =
    "Mozilla/5.0 (compatible; mod_vornex/" VORNEX_VERSION
    "; +https://vornex.example/humans.txt)";

// The protocol's own headers start with this, in this letter case: the facts
// of a check call and the verdict headers of its answer.
inline constexpr char prefix[] = "VX-";
inline constexpr std::size_t prefix_length = sizeof(prefix) - 1;

constexpr bool has_prefix(const char *name) {
  for (std::size_t i = 0; i < prefix_length; ++i)
    if (name[i] != prefix[i])
      return false;
  return true;
}

// Facts about the screened request, sent as headers of the check call.
namespace fact {
inline constexpr char remote_addr[] = "VX-RemoteAddr"; // the client's address
inline constexpr char remote_port[] = "VX-RemotePort"; // the TCP peer's port
inline constexpr char conn_addr[] = "VX-ConnAddr";     // the TCP peer's address
inline constexpr char ssl_proto[] = "VX-SSLProto";     // mod_ssl's SSL_PROTOCOL
inline constexpr char ssl_cipher[] = "VX-SSLCipher";   // SSL_CLIENT_CIPHERS
inline constexpr char ssl_curves[] = "VX-SSLCurves";   // SSL_CLIENT_CURVES
static_assert(has_prefix(remote_addr) && has_prefix(remote_port) &&
                  has_prefix(conn_addr) && has_prefix(ssl_proto) &&
                  has_prefix(ssl_cipher) && has_prefix(ssl_curves),
              "fact headers carry the prefix");
} // namespace fact

// Names of answer headers after the prefix that have a meaning of their
// own; any other name after the prefix is a challenge header for the client.
namespace answer {
inline constexpr char mitigation[] = "X-Mitigation"; // the verdict keyword
inline constexpr char reason[] = "X-Reason";         // kept, never shown
inline constexpr char location[] = "Location";       // a redirect's target
} // namespace answer

// The verdict codes, as api::execute returns them.
enum verdict : int {
  pass = 0,
  block = 1,
  challenge = 2,
  redirect = 3,
  captcha = 4,
  return_fake_data = 5,
  limit = 6,
  inject = 7,
};

// Without a keyword in the answer, its status gives pass or block.
inline constexpr int pass_status = 200;
inline constexpr int block_status = 403;

struct verdict_keyword {
  const char *keyword;
  verdict code;
  // Whether an answer gives the verdict by this keyword in X-Mitigation;
  // pass and block are given by the status alone, and the module takes
  // their keywords for none.
  bool in_answer;
};

inline constexpr verdict_keyword verdicts[] = {
    {"pass", pass, false},
    {"block", block, false},
    {"challenge", challenge, true},
    {"redirect", redirect, true},
    {"captcha", captcha, true},
    {"return_fake_data", return_fake_data, true},
    {"limit", limit, true},
    {"inject", inject, true},
};

// The keyword of a verdict code; null for a code that is no verdict.
constexpr const char *keyword_of(int code) {
  for (const auto &entry : verdicts)
    if (entry.code == code)
      return entry.keyword;
  return nullptr;
}

} // namespace protocol
} // namespace vornex

#endif
