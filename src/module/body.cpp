// The life of a screened request's body, from the client's first byte to the
// application's last read: capture_body reads it for the check and parks it
// (relay.cpp keeps the parked buckets) in a VORNEX_IN instance that the
// request's internal redirects and sub-requests reach too, and relay_input
// hands it over.
#include "body.h"

#include <apr_strings.h>
#include <http_core.h>

#include <cstring>
#include <new>

#include "check_body.h"
#include "module.h"
#include "relay.h"

namespace vornex {
namespace module {

const char filter_name[] = "VORNEX_IN";

namespace {

const apr_off_t body_read_size = 8192;

// The body length the request declares, or -1 when it declares none
// (chunked, HTTP/2 without a length) or one that does not parse.
apr_off_t declared_length(request_rec *r) {
  if (apr_table_get(r->headers_in, "Transfer-Encoding"))
    return -1;
  const char *length = apr_table_get(r->headers_in, "Content-Length");
  if (!length)
    return -1;
  char *end = nullptr;
  apr_off_t declared = 0;
  if (apr_strtoff(&declared, length, &end, 10) != APR_SUCCESS || *end ||
      declared < 0)
    return -1;
  return declared;
}

// Sizes the check body for a declared Content-Length that is kept in memory,
// so that a large body is not copied again and again while the buffer
// doubles.
void reserve_body(request_rec *r, api &record, apr_off_t declared) {
  if (declared <= 0)
    return;
  // A body over the server's limit is refused before it is read in full.
  const apr_off_t limit = static_cast<apr_off_t>(ap_get_limit_req_body(r));
  if (limit > 0 && declared > limit)
    declared = limit;
  try {
    record.reserve_data(record.get_data_size() + 2 +
                        static_cast<size_t>(declared));
  } catch (const std::bad_alloc &) {
    // Only an optimisation: the buffer then grows as the body arrives.
  }
}

// Opens the spool file for a body that goes over the in-memory limit; on
// failure the body stays in memory, as without a limit.
bool open_spool(request_rec *r, spool_file *spool) {
  const char *dir = nullptr;
  apr_status_t rv = apr_temp_dir_get(&dir, r->pool);
  if (rv == APR_SUCCESS)
    rv = spool_open(spool, dir, r->pool);
  if (rv == APR_SUCCESS)
    return true;
  VORNEX_LOG(APLOG_WARNING, r->server,
             "Vornex could not open a temporary file for a large body, "
             "keeping it in memory: %pm",
             &rv);
  return false;
}

// Puts a VORNEX_IN instance on top of the request's protocol filters, where
// the body leaves the protocol (HTTP/1 with its chunked decoding, or an
// HTTP/2 stream) and before any resource or content filter of the request
// (SetInputFilter, mod_deflate, mod_sed, mod_ext_filter, LuaInputFilter)
// has touched it. The body is then parked as the protocol delivers it, and
// whatever reads it later reads it through that request's own filters, as
// it would read the client's bytes without the module:
//   - an internal redirect inherits the request's protocol filters (the
//     server starts its filter chains there), so the redirect reaches the
//     parked body under whichever filters it has of its own, as it would
//     reach the connection without the module;
//   - the request's input chain keeps its shape: with no filter above the
//     protocol, r->input_filters is still r->proto_input_filters, which is
//     how mod_proxy_http tells that it may stream a body with its
//     Content-Length instead of spooling a copy of it.
// The server's ap_add_input_filter puts a protocol filter below the ones
// already there, under HTTP_IN, so the instance is linked in by hand.
ap_filter_t *add_relay_filter(request_rec *r, filter_ctx *ctx) {
  ap_filter_rec_t *frec = ap_get_input_filter_handle(filter_name);
  if (!frec)
    return nullptr;
  auto *f =
      static_cast<ap_filter_t *>(apr_pcalloc(r->pool, sizeof(ap_filter_t)));
  f->frec = frec;
  f->ctx = ctx;
  f->r = r;
  f->c = r->connection;
  ap_filter_t *top = r->proto_input_filters;
  f->next = top;
  // Whatever read from the protocol's top (the request's first filter, or
  // the last of its resource and content filters) reads from the instance.
  ap_filter_t **link = &r->input_filters;
  while (*link && *link != top)
    link = &(*link)->next;
  if (*link)
    *link = f;
  r->proto_input_filters = f;
  return f;
}

// A new VORNEX_IN instance on the request with an empty parked brigade.
filter_ctx *add_relay(request_rec *r, ap_filter_t **added) {
  auto *ctx =
      static_cast<filter_ctx *>(apr_pcalloc(r->pool, sizeof(filter_ctx)));
  ap_filter_t *f = add_relay_filter(r, ctx);
  if (!f)
    return nullptr;
  ctx->brigade = apr_brigade_create(f->c->pool, f->c->bucket_alloc);
  ctx->headers = r->headers_in;
  *added = f;
  return ctx;
}

// Reads until the end of the body or a failed read, parking what is read in
// memory, or in the spool file once the body is longer than `limit`.
void read_body(request_rec *r, ap_filter_t *f, filter_ctx *ctx, api &record,
               apr_off_t limit, check_body::body_sink &sink) {
  apr_bucket_brigade *read_bb =
      apr_brigade_create(f->c->pool, f->c->bucket_alloc);
  const apr_off_t declared = declared_length(r);
  spool_file spool{nullptr, 0, APR_SUCCESS};
  if (limit > 0 && declared > limit)
    open_spool(r, &spool);
  if (!spool.file)
    reserve_body(r, record, declared);
  bool tried_spool = spool.file != nullptr;

  for (;;) {
    apr_status_t rv = ap_get_brigade(f->next, read_bb, AP_MODE_READBYTES,
                                     APR_BLOCK_READ, body_read_size);
    ctx->status = rv;
    if (rv != APR_SUCCESS)
      break;
    if (spool.file) {
      if (spool_read(ctx, read_bb, &spool, r->pool, sink, record))
        break;
      continue;
    }
    const bool end = park_read(ctx, read_bb, r->pool, sink);
    if (limit > 0 && !tried_spool &&
        sink.body_bytes() > static_cast<uint64_t>(limit)) {
      // A body of unknown length just went over the limit.
      tried_spool = true;
      if (open_spool(r, &spool))
        spool_parked(ctx, &spool, sink, record);
    }
    if (end)
      break;
  }
  apr_brigade_destroy(read_bb);
  if (spool.write_failure != APR_SUCCESS)
    VORNEX_LOG(APLOG_WARNING, r->server,
               "Vornex could not write a large body to its temporary file, "
               "keeping it in memory: %pm",
               &spool.write_failure);
  spool_finish(ctx, &spool, r->pool, record);
}

} // namespace

apr_status_t capture_body(request_rec *r, api &record, apr_off_t limit,
                          uint64_t *body_bytes) {
  ap_filter_t *f = nullptr;
  filter_ctx *ctx = add_relay(r, &f);
  if (!ctx)
    return APR_SUCCESS;
  const apr_table_t *sent = apr_table_copy(r->pool, r->headers_in);

  check_body::body_sink sink(record);
  // Over however the capture ends, a throw included: the reader that comes
  // next gets what was parked, then the rest from the filters below.
  struct capture_scope {
    filter_ctx *ctx;
    ~capture_scope() { ctx->capturing = false; }
  } scope{ctx};
  ctx->capturing = true;
  read_body(r, f, ctx, record, limit, sink);
  *body_bytes = sink.body_bytes();

  // Until the body is handed over, the request keeps the headers the client
  // sent, as it would if nothing had read the body yet.
  if (!same_entries(sent, r->headers_in)) {
    ctx->headers_after_read = apr_table_copy(r->pool, r->headers_in);
    replace_entries(r->headers_in, sent);
  }
  return ctx->status;
}

apr_status_t relay_input(ap_filter_t *f, apr_bucket_brigade *bb,
                         ap_input_mode_t mode, apr_read_type_e block,
                         apr_off_t readbytes) {
  auto *ctx = static_cast<filter_ctx *>(f->ctx);
  // While the body is being captured, the only reads that come here come
  // from the filters below (HTTP_IN reads a chunked body's trailer lines
  // through the request's protocol filters, whose top this instance is):
  // they are theirs.
  if (!ctx || !ctx->brigade || ctx->capturing)
    return ap_get_brigade(f->next, bb, mode, block, readbytes);
  apply_headers_after_read(ctx);
  switch (mode) {
  case AP_MODE_READBYTES:
    return relay(ctx, bb, relay_mode::readbytes, block, readbytes);
  case AP_MODE_SPECULATIVE:
    return relay(ctx, bb, relay_mode::speculative, block, readbytes);
  case AP_MODE_GETLINE:
    return relay(ctx, bb, relay_mode::getline, block, readbytes);
  case AP_MODE_EXHAUSTIVE:
    return relay(ctx, bb, relay_mode::exhaustive, block, readbytes);
  default:
    // Connection-level modes have no meaning for a request body.
    return ap_get_brigade(f->next, bb, mode, block, readbytes);
  }
}

} // namespace module
} // namespace vornex
