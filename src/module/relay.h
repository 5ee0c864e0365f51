// The parked request body of a screened request and its hand-over to the
// readers of the request's input filters. Only APR is used here, so tests
// drive it with real brigades and no server.
#ifndef VORNEX_RELAY_H
#define VORNEX_RELAY_H

#include <apr_buckets.h>
#include <apr_tables.h>

#include "check_body.h"

namespace vornex {
namespace module {

// Context of a VORNEX_IN instance, shared by the instances of one main
// request and its internal redirects and sub-requests.
struct filter_ctx {
  apr_status_t status;         // status of the handler's last body read
  apr_bucket_brigade *brigade; // the parked body; null once handed over
  // An input filter below may rewrite the request's header table on its
  // first read (the inflating filter drops Content-Length and
  // Content-Encoding). The capture puts the client's headers back and keeps
  // the rewritten ones here, for the first hand-over: readers that build an
  // environment before they read see what they would without the module.
  apr_table_t *headers;            // the request's header table
  apr_table_t *headers_after_read; // null when the read changed nothing
  // The end of the body came in a read of its own, without data (the
  // chunked decoder's way). The relay then hands it over on its own too, so
  // that a reader that reads ahead (mod_proxy_http) sees the same reads as
  // without the module.
  bool eos_alone;
  // The handler is reading the body for the check; the instance passes
  // every read on meanwhile.
  bool capturing;
};

// A body too large to keep in memory is parked in an unlinked temporary file
// instead; the parked brigade then holds one file bucket for those bytes.
struct spool_file {
  apr_file_t *file; // null while the body is in memory
  apr_off_t length; // bytes written to the file
  // Why the file took no more bytes (a full disk), after which the body
  // stays in memory; APR_SUCCESS while every write went through.
  apr_status_t write_failure;
};

// Opens an unlinked temporary file in `dir`, closed with `pool`.
apr_status_t spool_open(spool_file *spool, const char *dir, apr_pool_t *pool);

// Writes the bytes of the data buckets of `bb` to the end of the spool file,
// in order, deleting each bucket once written, and counts them with the sink.
// Metadata buckets stay. Stops at the first bucket that cannot be written,
// which stays in `bb` with everything after it.
apr_status_t spool_data(spool_file *spool, apr_bucket_brigade *bb,
                        check_body::body_sink &sink);

// One successful read while spooling: its bytes go to the file, its metadata
// buckets to the parked brigade. Returns true when the end of the body was
// reached. When the file takes no more, spooling ends: the spooled bytes
// stay parked as a file bucket and are read back into the check body, and
// the rest of the body is parked in memory (`spool->file` is then null).
bool spool_read(filter_ctx *ctx, apr_bucket_brigade *read_bb, spool_file *spool,
                apr_pool_t *pool, check_body::body_sink &sink, api &record);

// Moves the body parked in memory so far into the (newly opened) spool file
// and takes it out of the check body. When the file does not take it all,
// nothing changes and `spool->file` is null.
void spool_parked(filter_ctx *ctx, spool_file *spool,
                  const check_body::body_sink &sink, api &record);

// Ends spooling: one file bucket for the spooled bytes goes ahead of the
// parked metadata, and the check body is told to send them from the file.
void spool_finish(filter_ctx *ctx, spool_file *spool, apr_pool_t *pool,
                  api &record);

// True when both tables hold the same names and values in the same order.
bool same_entries(const apr_table_t *a, const apr_table_t *b);

// Makes `table` hold exactly the entries of `from`, in their order; the
// table object itself stays, since redirects of the request share it.
void replace_entries(apr_table_t *table, const apr_table_t *from);

// Puts the headers that the filters below left after the capture in place;
// called before the first bytes are handed over.
void apply_headers_after_read(filter_ctx *ctx);

// How the reader asks, in the terms of the server's input modes.
enum class relay_mode { readbytes, speculative, getline, exhaustive };

// Moves one successful read's buckets to the end of the parked brigade,
// making them independent of the reader's buffers, and appends their bytes to
// the check body. Returns true when the end of the body was reached.
bool park_read(filter_ctx *ctx, apr_bucket_brigade *read_bb,
               apr_pool_t *setaside_pool, check_body::body_sink &sink);

// Hands parked bytes to a reader. Every byte is handed over once and in order;
// the stored status comes with the last of them, after which the context's
// brigade is null. Requires ctx->brigade to be set.
apr_status_t relay(filter_ctx *ctx, apr_bucket_brigade *bb, relay_mode mode,
                   apr_read_type_e block, apr_off_t readbytes);

} // namespace module
} // namespace vornex

#endif
