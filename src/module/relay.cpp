#include "relay.h"

#include <apr_file_io.h>
#include <apr_portable.h>
#include <apr_strings.h>

#include <cstring>
#include <vector>

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

// The first bucket of the run of metadata (and empty) buckets that ends the
// brigade; the sentinel when the last bucket carries data.
apr_bucket *trailing_metadata(apr_bucket_brigade *bb) {
  apr_bucket *b = APR_BRIGADE_LAST(bb);
  while (b != APR_BRIGADE_SENTINEL(bb) &&
         (APR_BUCKET_IS_METADATA(b) || b->length == 0))
    b = APR_BUCKET_PREV(b);
  return APR_BUCKET_NEXT(b);
}

// Reads the first `length` bytes of the spool file back into the check body.
apr_status_t read_back(spool_file *spool, api &record) {
  apr_off_t offset = 0;
  apr_status_t rv = apr_file_seek(spool->file, APR_SET, &offset);
  std::vector<char> piece(64 * 1024);
  for (apr_off_t left = spool->length; rv == APR_SUCCESS && left > 0;) {
    apr_size_t size = static_cast<apr_size_t>(
        left < static_cast<apr_off_t>(piece.size()) ? left : piece.size());
    rv = apr_file_read_full(spool->file, piece.data(), size, &size);
    record.add_data(piece.data(), size);
    left -= static_cast<apr_off_t>(size);
  }
  return rv;
}

// Parks the spooled bytes as one file bucket ahead of what is parked.
void park_spooled(filter_ctx *ctx, spool_file *spool, apr_pool_t *pool) {
  if (spool->length == 0)
    return;
  apr_bucket *b = apr_bucket_file_create(spool->file, 0,
                                         static_cast<apr_size_t>(spool->length),
                                         pool, ctx->brigade->bucket_alloc);
  // Read in small pieces, not mapped whole: the point is to keep the body
  // out of the worker's memory.
  apr_bucket_file_enable_mmap(b, 0);
  APR_BRIGADE_INSERT_HEAD(ctx->brigade, b);
}

// Writes one data bucket's bytes to the end of the spool file.
apr_status_t write_bucket(spool_file *spool, apr_bucket *b,
                          apr_size_t *length) {
  const char *data = nullptr;
  *length = 0;
  apr_status_t rv = apr_bucket_read(b, &data, length, APR_BLOCK_READ);
  if (rv != APR_SUCCESS || *length == 0)
    return rv;
  rv = apr_file_write_full(spool->file, data, *length, nullptr);
  if (rv == APR_SUCCESS)
    spool->length += static_cast<apr_off_t>(*length);
  return rv;
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

// Notes whether a read that ends the body carried data with the end.
void note_end(filter_ctx *ctx, apr_bucket_brigade *read_bb) {
  bool data = false;
  for (apr_bucket *b = APR_BRIGADE_FIRST(read_bb);
       b != APR_BRIGADE_SENTINEL(read_bb); b = APR_BUCKET_NEXT(b)) {
    if (APR_BUCKET_IS_EOS(b)) {
      ctx->eos_alone = !data;
      return;
    }
    if (!APR_BUCKET_IS_METADATA(b) && b->length != 0)
      data = true;
  }
}

bool park_read(filter_ctx *ctx, apr_bucket_brigade *read_bb,
               apr_pool_t *setaside_pool, check_body::body_sink &sink) {
  if (APR_BRIGADE_EMPTY(read_bb))
    return false;
  note_end(ctx, read_bb);
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

namespace {

// Reads the file buckets among the buckets from `b` on into heap buckets.
// Readers may take one apr_bucket_read of a bucket for all of it, which
// holds for the memory buckets they get without the module, not for a file
// bucket, which gives its bytes in pieces.
apr_status_t read_in(apr_bucket_brigade *bb, apr_bucket *b) {
  for (; b != APR_BRIGADE_SENTINEL(bb); b = APR_BUCKET_NEXT(b)) {
    if (!APR_BUCKET_IS_FILE(b))
      continue;
    const char *data = nullptr;
    apr_size_t length = 0;
    // Turns the bucket into a heap bucket and puts the rest of the file's
    // bytes in a file bucket right after it, which comes next.
    apr_status_t rv = apr_bucket_read(b, &data, &length, APR_BLOCK_READ);
    if (rv != APR_SUCCESS)
      return rv;
  }
  return APR_SUCCESS;
}

apr_status_t relay_parked(filter_ctx *ctx, apr_bucket_brigade *bb,
                          relay_mode mode, apr_read_type_e block,
                          apr_off_t readbytes) {
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
    // The whole rest fits (or cannot be split): relink it all, but an end
    // that came on its own comes on its own again.
    apr_bucket *tail = trailing_metadata(parked);
    if (ctx->eos_alone && tail != APR_BRIGADE_FIRST(parked)) {
      move_head(parked, tail, bb);
      return APR_SUCCESS;
    }
    APR_BRIGADE_CONCAT(bb, parked);
    return finish(ctx);
  }
  move_head(parked, after, bb);
  return finish(ctx);
}

} // namespace

apr_status_t relay(filter_ctx *ctx, apr_bucket_brigade *bb, relay_mode mode,
                   apr_read_type_e block, apr_off_t readbytes) {
  apr_bucket *before = APR_BRIGADE_LAST(bb);
  const apr_status_t rv = relay_parked(ctx, bb, mode, block, readbytes);
  const apr_status_t read = read_in(bb, APR_BUCKET_NEXT(before));
  return read != APR_SUCCESS ? read : rv;
}

apr_status_t spool_open(spool_file *spool, const char *dir, apr_pool_t *pool) {
  char *path = apr_pstrcat(pool, dir, "/vornex-body-XXXXXX", nullptr);
  apr_file_t *file = nullptr;
  apr_status_t rv =
      apr_file_mktemp(&file, path,
                      APR_FOPEN_CREATE | APR_FOPEN_READ | APR_FOPEN_WRITE |
                          APR_FOPEN_EXCL | APR_FOPEN_BINARY,
                      pool);
  if (rv != APR_SUCCESS)
    return rv;
  // Unlinked at once: the bytes live as long as the descriptor, and nothing
  // is left behind by a request that ends, or a worker that dies, early.
  apr_file_remove(path, pool);
  spool->file = file;
  spool->length = 0;
  return APR_SUCCESS;
}

apr_status_t spool_data(spool_file *spool, apr_bucket_brigade *bb,
                        check_body::body_sink &sink) {
  apr_bucket *b = APR_BRIGADE_FIRST(bb);
  while (b != APR_BRIGADE_SENTINEL(bb)) {
    apr_bucket *next = APR_BUCKET_NEXT(b);
    if (!APR_BUCKET_IS_METADATA(b)) {
      apr_size_t length = 0;
      apr_status_t rv = write_bucket(spool, b, &length);
      if (rv != APR_SUCCESS)
        return rv;
      sink.add_outside(length);
      apr_bucket_delete(b);
    }
    b = next;
  }
  return APR_SUCCESS;
}

bool spool_read(filter_ctx *ctx, apr_bucket_brigade *read_bb, spool_file *spool,
                apr_pool_t *pool, check_body::body_sink &sink, api &record) {
  if (APR_BRIGADE_EMPTY(read_bb))
    return false;
  note_end(ctx, read_bb);
  const apr_status_t written = spool_data(spool, read_bb, sink);
  if (written != APR_SUCCESS) {
    spool->write_failure = written;
    // The file takes no more (a full disk): what it holds stays parked in it
    // and comes back into the check body; the rest is kept in memory.
    park_spooled(ctx, spool, pool);
    if (read_back(spool, record) != APR_SUCCESS)
      spool->length = 0;
    spool->file = nullptr;
    return park_read(ctx, read_bb, pool, sink);
  }
  bool end = false;
  for (apr_bucket *b = APR_BRIGADE_FIRST(read_bb);
       b != APR_BRIGADE_SENTINEL(read_bb); b = APR_BUCKET_NEXT(b))
    end = end || APR_BUCKET_IS_EOS(b);
  APR_BRIGADE_CONCAT(ctx->brigade, read_bb);
  return end;
}

void spool_parked(filter_ctx *ctx, spool_file *spool,
                  const check_body::body_sink &sink, api &record) {
  for (apr_bucket *b = APR_BRIGADE_FIRST(ctx->brigade);
       b != APR_BRIGADE_SENTINEL(ctx->brigade); b = APR_BUCKET_NEXT(b)) {
    if (APR_BUCKET_IS_METADATA(b))
      continue;
    apr_size_t length = 0;
    const apr_status_t written = write_bucket(spool, b, &length);
    if (written != APR_SUCCESS) {
      // Keep everything in memory, as it is.
      spool->write_failure = written;
      apr_file_close(spool->file);
      spool->file = nullptr;
      spool->length = 0;
      return;
    }
  }
  apr_bucket *b = APR_BRIGADE_FIRST(ctx->brigade);
  while (b != APR_BRIGADE_SENTINEL(ctx->brigade)) {
    apr_bucket *next = APR_BUCKET_NEXT(b);
    if (!APR_BUCKET_IS_METADATA(b))
      apr_bucket_delete(b);
    b = next;
  }
  record.truncate_data(sink.body_start());
}

void spool_finish(filter_ctx *ctx, spool_file *spool, apr_pool_t *pool,
                  api &record) {
  if (!spool->file)
    return;
  park_spooled(ctx, spool, pool);
  apr_os_file_t fd;
  apr_os_file_get(&fd, spool->file);
  record.add_data_file(fd, static_cast<uint64_t>(spool->length));
}

} // namespace module
} // namespace vornex
