// TLS settings at configuration load. Loading them costs far more than a
// check (the system's trust store alone some 20 ms), so it is done here,
// once per distinct setting, and never while requests are served.
#include "tls.h"

#include <http_config.h>
#include <http_core.h>

#include <exception>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "address.h"
#include "config.h"
#include "module.h"
#include "tls_context.h"

namespace vornex {
namespace module {

namespace {

// The contexts of one configuration load, by setting.
using loaded_settings = std::map<std::string, std::unique_ptr<tls_context>>;

apr_status_t drop_settings(void *loaded) {
  delete static_cast<loaded_settings *>(loaded);
  return APR_SUCCESS;
}

bool uses_https(const char *address) {
  if (!address || !has_scheme(address))
    return false;
  try {
    return parse_server_address(address).tls;
  } catch (const std::exception &) {
    return false; // refused when it was read
  }
}

bool sets_tls(const dir_conf *conf) {
  return conf->tls_ca_file || conf->tls_certificate_file ||
         conf->tls_key_file || conf->tls_verify != -1;
}

std::string setting_key(const dir_conf *conf) {
  std::string key;
  for (const char *part :
       {conf->tls_ca_file, conf->tls_certificate_file, conf->tls_key_file}) {
    key += part ? part : "";
    key += '\n';
  }
  key += conf->tls_verify == 0 ? "unverified" : "verified";
  return key;
}

tls_settings settings_of(const dir_conf *conf) {
  tls_settings settings;
  settings.ca_file = or_empty(conf->tls_ca_file);
  settings.verify = conf->tls_verify != 0;
  settings.certificate_file = or_empty(conf->tls_certificate_file);
  settings.key_file = or_empty(conf->tls_key_file);
  return settings;
}

// Before addresses could name their scheme, one that does was read as a
// host name as a whole, or not at all: says how it is read now, and how it
// was read then, once per load for each address.
void say_reading(server_rec *s, const char *directive, const char *address,
                 std::set<std::string> &said) {
  if (!address || !has_scheme(address) ||
      !said.insert(std::string(directive) + ' ' + address).second)
    return;
  const server_address now = parse_server_address(address);
  const char *scheme = now.tls ? "HTTPS" : "HTTP";
  try {
    const auto before = split_server_name(address);
    VORNEX_LOG(APLOG_WARNING, s,
               "Vornex reads %s %s as %s to host %s port %d; without scheme "
               "support it was read as host %s port %d",
               directive, address, scheme, now.host.c_str(), now.port,
               before.first.c_str(), before.second);
  } catch (const std::exception &e) {
    VORNEX_LOG(APLOG_WARNING, s,
               "Vornex reads %s %s as %s to host %s port %d; without scheme "
               "support it did not parse (%s)",
               directive, address, scheme, now.host.c_str(), now.port,
               e.what());
  }
}

} // namespace

int load_tls(apr_pool_t *pconf, server_rec *s) {
  // Apache reads its configuration twice when it starts; the lines are
  // written by the pass that goes on to serve.
  const bool serving =
      ap_state_query(AP_SQ_MAIN_STATE) != AP_SQ_MS_CREATE_PRE_CONFIG;
  auto *loaded = new loaded_settings;
  apr_pool_cleanup_register(pconf, loaded, drop_settings,
                            apr_pool_cleanup_null);
  std::set<std::string> said;
  for (server_rec *server = s; server; server = server->next) {
    auto *conf = static_cast<dir_conf *>(
        ap_get_module_config(server->lookup_defaults, &vornex_module));
    if (!conf)
      continue;
    if (serving) {
      say_reading(server, "VornexPrimaryServer", conf->primary_server, said);
      say_reading(server, "VornexSecondaryServer", conf->secondary_server,
                  said);
    }
    if (!sets_tls(conf) && !uses_https(conf->primary_server) &&
        !uses_https(conf->secondary_server))
      continue;
    const std::string key = setting_key(conf);
    std::unique_ptr<tls_context> &context = (*loaded)[key];
    if (!context) {
      try {
        context.reset(new tls_context(settings_of(conf)));
      } catch (const std::exception &e) {
        loaded->erase(key);
        VORNEX_LOG(APLOG_EMERG, server,
                   "Vornex cannot load its TLS settings: %s", e.what());
        return HTTP_INTERNAL_SERVER_ERROR;
      }
      if (serving && conf->tls_verify == 0)
        VORNEX_LOG(APLOG_WARNING, server, "%s",
                   "VornexTLSVerify Off: the certificates and names of "
                   "https:// check servers are not verified");
    }
    conf->tls = context.get();
  }
  return OK;
}

} // namespace module
} // namespace vornex
