// Verdict enforcement.
#include "enforce.h"

#include <http_protocol.h>
#include <util_filter.h>

#include <climits>
#include <cstring>
#include <string>

#include "field_name.h"
#include "module.h"
#include "phase.h"
#include "protocol.h"

namespace vornex {
namespace module {

namespace {

// The challenge headers that may go into the client's response, as table
// entries in the map's order. A name that is no HTTP token (empty, with a
// space, a colon or a control byte) would give the client a malformed header
// line, and one that only the server may set (the framing, the connection)
// would let the answer decide where the response ends: both are left out.
apr_table_t *response_headers(request_rec *r, api &record) {
  const api::challenge_header_map &headers = record.get_challenge_headers();
  apr_table_t *out =
      apr_table_make(r->pool, static_cast<int>(headers.size()) + 1);
  for (const auto &header : headers) {
    if (!field_name::valid(header.first))
      continue;
    if (field_name::server_only(header.first)) {
      VORNEX_LOG(APLOG_DEBUG, r->server,
                 "Vornex dropped the challenge header %s: only the server "
                 "sets it",
                 header.first.c_str());
      continue;
    }
    apr_table_add(out, header.first.c_str(), header.second.c_str());
  }
  return out;
}

// Sets every entry of `from` in `to`, replacing what `to` holds under its
// name; the entries of one name that follow each other (Set-Cookie) all
// stay.
void put_headers(apr_table_t *to, const apr_table_t *from) {
  const apr_array_header_t *elts = apr_table_elts(from);
  const auto *e = reinterpret_cast<const apr_table_entry_t *>(elts->elts);
  for (int i = 0; i < elts->nelts; ++i) {
    if (i > 0 && std::strcmp(e[i].key, e[i - 1].key) == 0)
      apr_table_add(to, e[i].key, e[i].val);
    else
      apr_table_set(to, e[i].key, e[i].val);
  }
}

void write_page(request_rec *r, const std::string &page) {
  const char *bytes = page.data();
  size_t left = page.size();
  do {
    const int piece = static_cast<int>(left < INT_MAX ? left : INT_MAX);
    ap_rwrite(bytes, piece, r);
    bytes += piece;
    left -= static_cast<size_t>(piece);
  } while (left > 0);
}

// Whether `table` holds an entry of `key` (in any letter case) with exactly
// `value`.
bool holds(const apr_table_t *table, const char *key, const char *value) {
  const apr_array_header_t *elts = apr_table_elts(table);
  const auto *e = reinterpret_cast<const apr_table_entry_t *>(elts->elts);
  for (int i = 0; i < elts->nelts; ++i)
    if (e[i].key && ap_cstr_casecmp(e[i].key, key) == 0 && e[i].val &&
        std::strcmp(e[i].val, value) == 0)
      return true;
  return false;
}

// An inject verdict's headers are set in headers_out before the handler
// runs, where a static file or a CGI script leaves them (a script's own
// header of the same name goes out next to them). mod_proxy_http rebuilds
// headers_out from the backend's answer, which drops them; only the headers
// the response finally carries are certain once its first bytes pass
// through the request's output filters. This filter sits there, above
// mod_headers' (so that Header directives still have the last word), and
// adds back each injected header that is no longer there, next to any the
// backend set under the same name, as for a script. The server's own error
// responses start again from the protocol filters, without this one, and
// carry none of them, as before.
void add_injected_filter(request_rec *r, apr_table_t *injected) {
  if (!apr_is_empty_table(injected))
    ap_add_output_filter(inject_filter_name, injected, r, r->connection);
}

} // namespace

const char inject_filter_name[] = "VORNEX_INJECT";

int enforce(request_rec *r, api &record, int code) {
  // What a verdict makes of the response is this client's: mod_cache must
  // not keep it for others (an inject verdict's headers, a challenge page).
  if (code != protocol::pass)
    r->no_cache = 1;
  switch (code) {
  case protocol::pass:
    return DECLINED;
  case protocol::challenge:
  case protocol::captcha:
    r->status = HTTP_FORBIDDEN;
    put_headers(r->headers_out, response_headers(r, record));
    ap_set_content_type(r, "text/html");
    write_page(r, record.get_challenge_page());
    return OK;
  case protocol::redirect: {
    r->status = HTTP_MOVED_TEMPORARILY;
    const std::string target = record.get_mitigation_url();
    apr_table_set(r->headers_out, "Location", target.c_str());
    return OK;
  }
  case protocol::limit:
    r->status = HTTP_TOO_MANY_REQUESTS;
    apr_table_set(r->headers_out, "Retry-After", "3600");
    return OK;
  case protocol::inject: {
    r->status = HTTP_OK;
    // Kept for internal redirects of the request, which start with response
    // headers of their own.
    apr_table_t *injected = response_headers(r, record);
    put_headers(r->headers_out, injected);
    add_injected_filter(r, injected);
    own_state(r)->injected = injected;
    return DECLINED;
  }
  case protocol::block:
  case protocol::return_fake_data:
  default: // and anything unknown
    return HTTP_FORBIDDEN;
  }
}

void carry_injected(request_rec *r, const request_rec *root) {
  const request_state *state = state_of(root);
  if (apr_table_t *injected = state ? state->injected : nullptr) {
    r->no_cache = 1;
    put_headers(r->headers_out, injected);
    add_injected_filter(r, injected);
  }
}

apr_status_t inject_output(ap_filter_t *f, apr_bucket_brigade *bb) {
  if (const auto *injected = static_cast<const apr_table_t *>(f->ctx)) {
    const apr_array_header_t *elts = apr_table_elts(injected);
    const auto *e = reinterpret_cast<const apr_table_entry_t *>(elts->elts);
    for (int i = 0; i < elts->nelts; ++i)
      if (!holds(f->r->headers_out, e[i].key, e[i].val))
        apr_table_add(f->r->headers_out, e[i].key, e[i].val);
  }
  ap_remove_output_filter(f);
  return ap_pass_brigade(f->next, bb);
}

} // namespace module
} // namespace vornex
