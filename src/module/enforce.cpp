// Verdict enforcement.
#include "enforce.h"

#include <http_protocol.h>

#include <climits>
#include <map>
#include <string>

#include "field_name.h"
#include "module.h"
#include "protocol.h"

namespace vornex {
namespace module {

namespace {

// Sets the challenge headers in the response, and in `also` when given.
void set_challenge_headers(request_rec *r, api &record,
                           apr_table_t *also = nullptr) {
  const std::map<std::string, std::string> headers =
      record.get_challenge_headers();
  for (const auto &header : headers) {
    // A name that is no HTTP token (empty, with a space, a colon or a control
    // byte) would give the client a malformed header line; it is left out.
    if (!field_name::valid(header.first))
      continue;
    apr_table_set(r->headers_out, header.first.c_str(), header.second.c_str());
    if (also)
      apr_table_set(also, header.first.c_str(), header.second.c_str());
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

} // namespace

int enforce(request_rec *r, api &record, int code) {
  switch (code) {
  case protocol::pass:
    return DECLINED;
  case protocol::challenge:
  case protocol::captcha:
    r->status = HTTP_FORBIDDEN;
    set_challenge_headers(r, record);
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
    apr_table_t *injected = apr_table_make(r->pool, 4);
    set_challenge_headers(r, record, injected);
    ap_set_module_config(r->request_config, &vornex_module, injected);
    return DECLINED;
  }
  case protocol::block:
  case protocol::return_fake_data:
  default: // and anything unknown
    return HTTP_FORBIDDEN;
  }
}

void carry_injected(request_rec *r, const request_rec *root) {
  if (const auto *injected = static_cast<const apr_table_t *>(
          ap_get_module_config(root->request_config, &vornex_module)))
    apr_table_overlap(r->headers_out, injected, APR_OVERLAP_TABLES_SET);
}

} // namespace module
} // namespace vornex
