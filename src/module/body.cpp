// The life of a screened request's body, from the client's first byte to the
// application's last read: capture_body reads it for the check and parks it
// (relay.cpp keeps the parked buckets), relay_input hands it over, and
// hand_off_body lets the request's internal redirects reach it.
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

// The server keeps registered filter names in lower case.
const char filter_name_lower[] = "vornex_in";
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

// A new VORNEX_IN instance on the request with an empty parked brigade.
filter_ctx *add_relay(request_rec *r, ap_filter_t **added) {
  ap_filter_t *f = ap_add_input_filter(filter_name, nullptr, r, r->connection);
  if (!f)
    return nullptr;
  auto *ctx =
      static_cast<filter_ctx *>(apr_pcalloc(r->pool, sizeof(filter_ctx)));
  f->ctx = ctx;
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
  if (!ctx || !ctx->brigade)
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

void hand_off_body(request_rec *r, request_rec *root) {
  ap_filter_t *first = root->input_filters;
  if (!first || !first->frec || !first->frec->name)
    return;
  if (std::strcmp(first->frec->name, filter_name_lower) == 0)
    ap_add_input_filter(filter_name, first->ctx, r, r->connection);
}

} // namespace module
} // namespace vornex
