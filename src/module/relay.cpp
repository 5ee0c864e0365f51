#include "relay.h"

#include <cstring>

namespace vornex {
namespace module {

namespace {

// Longest line a line-mode reader gets when it names no limit.
const apr_off_t default_line_limit = 8192;

// Relinks the buckets from the head of `from` up to, not including, `stop`
// to the tail of `to`; no byte is copied.
void move_head(apr_bucket_brigade *from, apr_bucket *stop,
               apr_bucket_brigade *to) {
  if (APR_BRIGADE_EMPTY(from) || APR_BRIGADE_FIRST(from) == stop)
    return;
  if (stop == APR_BRIGADE_SENTINEL(from)) {
    APR_BRIGADE_CONCAT(to, from);
    return;
  }
  apr_bucket *first = APR_BRIGADE_FIRST(from);
  apr_bucket *last = APR_BUCKET_PREV(stop);
  APR_RING_UNSPLICE(first, last, link);
  APR_RING_SPLICE_TAIL(&to->list, first, last, apr_bucket, link);
}

// True when no bucket from `b` to the end carries data, so that what remains
// (the end-of-stream bucket) belongs with the last piece handed over.
bool only_metadata_from(apr_bucket_brigade *bb, apr_bucket *b) {
  for (; b != APR_BRIGADE_SENTINEL(bb); b = APR_BUCKET_NEXT(b))
    if (!APR_BUCKET_IS_METADATA(b) && b->length != 0)
      return false;
  return true;
}

apr_status_t finish(filter_ctx *ctx) {
  if (!APR_BRIGADE_EMPTY(ctx->brigade))
    return APR_SUCCESS;
  apr_brigade_cleanup(ctx->brigade);
  ctx->brigade = nullptr;
  return ctx->status;
}

// Copies up to `limit` parked bytes (all of them for a limit <= 0) to `bb`
// and leaves the parked brigade as it was.
apr_status_t copy_head(apr_bucket_brigade *parked, apr_bucket_brigade *bb,
                       apr_off_t limit) {
  apr_off_t left = limit;
  for (apr_bucket *b = APR_BRIGADE_FIRST(parked);
       b != APR_BRIGADE_SENTINEL(parked); b = APR_BUCKET_NEXT(b)) {
    if (limit > 0 && left <= 0)
      break;
    if (b->length == static_cast<apr_size_t>(-1)) {
      const char *data;
      apr_size_t length;
      apr_status_t rv = apr_bucket_read(b, &data, &length, APR_BLOCK_READ);
      if (rv != APR_SUCCESS)
        return rv;
    }
    apr_bucket *copy;
    if (apr_bucket_copy(b, &copy) != APR_SUCCESS)
      continue;
    // Linked into the reader's brigade first: a copy still carries the
    // parked bucket's ring links, and splitting it would relink those.
    APR_BRIGADE_INSERT_TAIL(bb, copy);
    if (limit > 0 && !APR_BUCKET_IS_METADATA(copy) &&
        static_cast<apr_off_t>(copy->length) > left) {
      apr_bucket_split(copy, static_cast<apr_size_t>(left));
      apr_bucket_delete(APR_BUCKET_NEXT(copy));
    }
    if (!APR_BUCKET_IS_METADATA(copy))
      left -= static_cast<apr_off_t>(copy->length);
  }
  return APR_SUCCESS;
}

} // namespace

bool same_entries(const apr_table_t *a, const apr_table_t *b) {
  const apr_array_header_t *ea = apr_table_elts(a);
  const apr_array_header_t *eb = apr_table_elts(b);
  if (ea->nelts != eb->nelts)
    return false;
  const auto *x = reinterpret_cast<const apr_table_entry_t *>(ea->elts);
  const auto *y = reinterpret_cast<const apr_table_entry_t *>(eb->elts);
  for (int i = 0; i < ea->nelts; ++i) {
    if (std::strcmp(x[i].key ? x[i].key : "", y[i].key ? y[i].key : "") ||
        std::strcmp(x[i].val ? x[i].val : "", y[i].val ? y[i].val : ""))
      return false;
  }
  return true;
}

void replace_entries(apr_table_t *table, const apr_table_t *from) {
  apr_table_clear(table);
  const apr_array_header_t *elts = apr_table_elts(from);
  const auto *e = reinterpret_cast<const apr_table_entry_t *>(elts->elts);
  // The strings belong to the request's pool, which outlives both tables.
  for (int i = 0; i < elts->nelts; ++i)
    apr_table_addn(table, e[i].key, e[i].val);
}

void apply_headers_after_read(filter_ctx *ctx) {
  if (!ctx->headers_after_read)
    return;
  replace_entries(ctx->headers, ctx->headers_after_read);
  ctx->headers_after_read = nullptr;
}

bool park_read(filter_ctx *ctx, apr_bucket_brigade *read_bb,
               apr_pool_t *setaside_pool, check_body::body_sink &sink) {
  if (APR_BRIGADE_EMPTY(read_bb))
    return false;
  // Buckets of a read may point into a buffer that the filter below reuses
  // on its next read (mod_ssl's transient buckets); parked buckets must own
  // their bytes.
  for (apr_bucket *b = APR_BRIGADE_FIRST(read_bb);
       b != APR_BRIGADE_SENTINEL(read_bb); b = APR_BUCKET_NEXT(b))
    apr_bucket_setaside(b, setaside_pool);

  apr_bucket *b = APR_BRIGADE_FIRST(read_bb);
  APR_BRIGADE_CONCAT(ctx->brigade, read_bb);
  for (; b != APR_BRIGADE_SENTINEL(ctx->brigade); b = APR_BUCKET_NEXT(b)) {
    if (APR_BUCKET_IS_EOS(b))
      return true;
    if (APR_BUCKET_IS_METADATA(b))
      continue;
    const char *data = nullptr;
    apr_size_t length = 0;
    if (apr_bucket_read(b, &data, &length, APR_BLOCK_READ) != APR_SUCCESS ||
        length == 0)
      continue;
    sink.add(data, length);
    apr_bucket *next = APR_BUCKET_NEXT(b);
    if (next != APR_BRIGADE_SENTINEL(ctx->brigade) && APR_BUCKET_IS_EOS(next))
      return true;
  }
  return false;
}

apr_status_t relay(filter_ctx *ctx, apr_bucket_brigade *bb, relay_mode mode,
                   apr_read_type_e block, apr_off_t readbytes) {
  apr_bucket_brigade *parked = ctx->brigade;
  switch (mode) {
  case relay_mode::speculative:
    // A peek: the bytes stay parked for the reader that consumes them.
    if (APR_BRIGADE_EMPTY(parked))
      return finish(ctx);
    return copy_head(parked, bb, readbytes);
  case relay_mode::getline: {
    apr_status_t rv = apr_brigade_split_line(
        bb, parked, block, readbytes > 0 ? readbytes : default_line_limit);
    if (rv != APR_SUCCESS)
      return rv;
    if (only_metadata_from(parked, APR_BRIGADE_FIRST(parked)))
      APR_BRIGADE_CONCAT(bb, parked);
    return finish(ctx);
  }
  case relay_mode::exhaustive:
    APR_BRIGADE_CONCAT(bb, parked);
    return finish(ctx);
  case relay_mode::readbytes:
    break;
  }

  if (readbytes <= 0) {
    APR_BRIGADE_CONCAT(bb, parked);
    return finish(ctx);
  }
  apr_bucket *after = nullptr;
  apr_status_t rv = apr_brigade_partition(parked, readbytes, &after);
  if (rv != APR_SUCCESS || only_metadata_from(parked, after)) {
    // The whole rest fits (or cannot be split): relink it all.
    APR_BRIGADE_CONCAT(bb, parked);
    return finish(ctx);
  }
  move_head(parked, after, bb);
  return finish(ctx);
}

} // namespace module
} // namespace vornex
