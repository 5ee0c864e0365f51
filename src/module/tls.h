// The TLS settings of the checks to https:// check servers, loaded at each
// configuration load: one context per distinct setting, which the worker
// processes forked afterwards inherit and their threads share; and what the
// start-up log says about addresses with a scheme and about verification
// turned off.
#ifndef VORNEX_MODULE_TLS_H
#define VORNEX_MODULE_TLS_H

#include <httpd.h>

namespace vornex {
namespace module {

// Loads the TLS settings of every server (virtual hosts included) whose
// addresses use https:// or that sets a TLS directive, and hands each
// server's configuration its context. A file that cannot be used, or a key
// that does not match its certificate, is logged and stops the start
// (HTTP_INTERNAL_SERVER_ERROR); otherwise OK. The contexts go with `pconf`.
int load_tls(apr_pool_t *pconf, server_rec *s);

} // namespace module
} // namespace vornex

#endif
