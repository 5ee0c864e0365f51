// The parked request body: parking reads and handing the bytes to readers of
// every input mode, over real APR brigades.
#include "relay.h"
#include "test_servers.h"

#include <apr_file_io.h>
#include <apr_general.h>
#include <apr_strings.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

using vornex::module::filter_ctx;
using vornex::module::park_read;
using vornex::module::relay;
using vornex::module::relay_mode;
using vornex::module::spool_file;

// What one relay call delivered.
struct delivery {
  std::string bytes;
  bool eos = false;      // an end-of-stream bucket was delivered
  bool eos_last = false; // ... and nothing came after it
};

class Relay : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(apr_initialize(), APR_SUCCESS);
    ASSERT_EQ(apr_pool_create(&pool, nullptr), APR_SUCCESS);
    alloc = apr_bucket_alloc_create(pool);
  }
  void TearDown() override {
    apr_pool_destroy(pool);
    apr_terminate();
  }

  apr_bucket_brigade *brigade() { return apr_brigade_create(pool, alloc); }

  void add_heap(apr_bucket_brigade *bb, const std::string &bytes) {
    APR_BRIGADE_INSERT_TAIL(
        bb, apr_bucket_heap_create(bytes.data(), bytes.size(), nullptr, alloc));
  }
  void add_eos(apr_bucket_brigade *bb) {
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(alloc));
  }

  // Parks `pieces` as heap buckets, optionally followed by end-of-stream.
  void park(const std::vector<std::string> &pieces, bool eos,
            apr_status_t status) {
    ctx.brigade = brigade();
    for (const auto &piece : pieces)
      add_heap(ctx.brigade, piece);
    if (eos)
      add_eos(ctx.brigade);
    ctx.status = status;
  }

  // Reads every bucket of `bb`, then empties it.
  delivery take(apr_bucket_brigade *bb) {
    delivery d;
    for (apr_bucket *b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb);
         b = APR_BUCKET_NEXT(b)) {
      if (APR_BUCKET_IS_EOS(b)) {
        d.eos = true;
        d.eos_last = APR_BUCKET_NEXT(b) == APR_BRIGADE_SENTINEL(bb);
        continue;
      }
      const char *data = nullptr;
      apr_size_t length = 0;
      EXPECT_EQ(apr_bucket_read(b, &data, &length, APR_BLOCK_READ),
                APR_SUCCESS);
      d.bytes.append(data, length);
    }
    apr_brigade_cleanup(bb);
    return d;
  }

  // One relay call into a fresh brigade.
  delivery call(relay_mode mode, apr_off_t readbytes, apr_status_t *rv) {
    apr_bucket_brigade *bb = brigade();
    *rv = relay(&ctx, bb, mode, APR_BLOCK_READ, readbytes);
    return take(bb);
  }

  apr_pool_t *pool = nullptr;
  apr_bucket_alloc_t *alloc = nullptr;
  filter_ctx ctx{APR_SUCCESS, nullptr, nullptr, nullptr, false, false};
};

// True when every link of the ring agrees in both directions.
bool ring_intact(apr_bucket_brigade *bb) {
  apr_bucket *b = APR_BRIGADE_SENTINEL(bb);
  for (int steps = 0; steps < 100000; ++steps) {
    apr_bucket *next = APR_BUCKET_NEXT(b);
    if (APR_BUCKET_PREV(next) != b)
      return false;
    if (next == APR_BRIGADE_SENTINEL(bb))
      return true;
    b = next;
  }
  return false;
}

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return bytes;
}

std::vector<std::string> cut(const std::string &bytes, size_t piece) {
  std::vector<std::string> pieces;
  for (size_t at = 0; at < bytes.size(); at += piece)
    pieces.push_back(bytes.substr(at, piece));
  return pieces;
}

struct readbytes_case {
  const char *name;
  std::vector<std::string> pieces;
  bool eos;
  apr_status_t status;
  apr_off_t readbytes;
};

const readbytes_case readbytes_cases[] = {
    {"SmallerThanParked", {"hello ", "world", "!"}, true, APR_SUCCESS, 4},
    {"SmallerThanOneBucket", {"hello world!"}, true, APR_SUCCESS, 5},
    {"ExactlyParked", {"hello ", "world", "!"}, true, APR_SUCCESS, 12},
    {"LargerThanParked", {"hello ", "world", "!"}, true, APR_SUCCESS, 8192},
    {"EmptyBucketAfterLastByte", {"abc", ""}, true, APR_SUCCESS, 3},
    {"FailureSmaller", {"partial ", "body"}, false, APR_TIMEUP, 5},
    {"FailureExact", {"partial ", "body"}, false, APR_TIMEUP, 12},
    {"SeveralReadsOfBody", cut(pattern(3 * 8192 + 1), 8192), true, APR_SUCCESS,
     8000},
};

void PrintTo(const readbytes_case &c, std::ostream *os) { *os << c.name; }

class RelayReadbytes : public Relay,
                       public testing::WithParamInterface<readbytes_case> {};

// Readers asking for fewer bytes than are parked get every byte once and in
// order, in pieces of at most their size; end-of-stream and the stored
// status come only with the last piece, which also ends the hand-over.
TEST_P(RelayReadbytes, HandsOverInPiecesWithStatusLast) {
  const readbytes_case &c = GetParam();
  park(c.pieces, c.eos, c.status);
  std::string body;
  for (const auto &piece : c.pieces)
    body += piece;

  std::string received;
  size_t calls = 0;
  while (ctx.brigade && calls < 1000) {
    ++calls;
    apr_status_t rv;
    const delivery d = call(relay_mode::readbytes, c.readbytes, &rv);
    EXPECT_LE(d.bytes.size(), static_cast<size_t>(c.readbytes));
    received += d.bytes;
    if (ctx.brigade) {
      EXPECT_EQ(rv, APR_SUCCESS) << "call " << calls;
      EXPECT_FALSE(d.eos) << "call " << calls;
      ASSERT_FALSE(d.bytes.empty()) << "no progress in call " << calls;
    } else {
      EXPECT_EQ(rv, c.status);
      EXPECT_EQ(d.eos, c.eos);
      EXPECT_EQ(d.eos_last, c.eos);
    }
  }
  EXPECT_EQ(ctx.brigade, nullptr);
  EXPECT_EQ(received, body);
  const size_t size = static_cast<size_t>(c.readbytes);
  EXPECT_EQ(calls, std::max<size_t>(1, (body.size() + size - 1) / size));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RelayReadbytes, testing::ValuesIn(readbytes_cases),
    [](const testing::TestParamInfo<readbytes_case> &info) {
      return std::string(info.param.name);
    });

// When the whole rest fits, the parked buckets themselves are handed over.
TEST_F(Relay, WholeRestIsRelinkedNotCopied) {
  park({"ab", "cd"}, true, APR_SUCCESS);
  std::vector<apr_bucket *> parked;
  for (apr_bucket *b = APR_BRIGADE_FIRST(ctx.brigade);
       b != APR_BRIGADE_SENTINEL(ctx.brigade); b = APR_BUCKET_NEXT(b))
    parked.push_back(b);
  apr_bucket_brigade *bb = brigade();
  EXPECT_EQ(relay(&ctx, bb, relay_mode::readbytes, APR_BLOCK_READ, 100),
            APR_SUCCESS);
  std::vector<apr_bucket *> handed;
  for (apr_bucket *b = APR_BRIGADE_FIRST(bb); b != APR_BRIGADE_SENTINEL(bb);
       b = APR_BUCKET_NEXT(b))
    handed.push_back(b);
  EXPECT_EQ(handed, parked);
  EXPECT_EQ(ctx.brigade, nullptr);
}

struct peek_case {
  const char *name;
  std::vector<std::string> pieces;
  bool eos;
  apr_off_t readbytes;
};

const peek_case peek_cases[] = {
    {"InsideFirstBucket", {"hello ", "world"}, true, 3},
    {"WholeFirstBucket", {"hello ", "world"}, true, 6},
    {"InsideSecondBucket", {"hello ", "world"}, true, 8},
    {"MoreThanParked", {"hello ", "world"}, true, 100},
    {"InsideLastBucketWithoutEos", {"hello ", "world"}, false, 8},
};

void PrintTo(const peek_case &c, std::ostream *os) { *os << c.name; }

class RelayPeek : public Relay,
                  public testing::WithParamInterface<peek_case> {};

// A speculative read shows the first bytes and consumes nothing: the parked
// brigade stays whole and the next consuming read gets every byte.
TEST_P(RelayPeek, SpeculativeReadConsumesNothing) {
  const peek_case &c = GetParam();
  park(c.pieces, c.eos, APR_TIMEUP);
  std::string body;
  for (const auto &piece : c.pieces)
    body += piece;

  for (int round = 0; round < 2; ++round) {
    apr_status_t rv;
    const delivery peek = call(relay_mode::speculative, c.readbytes, &rv);
    EXPECT_EQ(rv, APR_SUCCESS);
    EXPECT_EQ(peek.bytes, body.substr(0, static_cast<size_t>(c.readbytes)));
    ASSERT_NE(ctx.brigade, nullptr);
    ASSERT_TRUE(ring_intact(ctx.brigade));
  }
  apr_status_t rv;
  const delivery all = call(relay_mode::readbytes, 8192, &rv);
  EXPECT_EQ(all.bytes, body);
  EXPECT_EQ(all.eos, c.eos);
  EXPECT_EQ(rv, APR_TIMEUP);
  EXPECT_EQ(ctx.brigade, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RelayPeek, testing::ValuesIn(peek_cases),
                         [](const testing::TestParamInfo<peek_case> &info) {
                           return std::string(info.param.name);
                         });

// A line reader gets one line per call, up to and including its LF, even
// across bucket boundaries; the last line comes with end-of-stream and the
// stored status, whether or not it ends in LF.
TEST_F(Relay, GetlineReturnsUpToAndIncludingLineFeed) {
  const struct {
    std::vector<std::string> pieces;
    std::vector<std::string> lines;
  } cases[] = {
      {{"li", "ne one\nli", "ne two\nrest"},
       {"line one\n", "line two\n", "rest"}},
      {{"a\n", "b", "\n"}, {"a\n", "b\n"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.lines.back());
    park(c.pieces, true, APR_TIMEUP);
    for (size_t i = 0; i < c.lines.size(); ++i) {
      const bool last = i + 1 == c.lines.size();
      apr_status_t rv;
      const delivery d = call(relay_mode::getline, 8192, &rv);
      EXPECT_EQ(d.bytes, c.lines[i]);
      EXPECT_EQ(d.eos_last, last);
      EXPECT_EQ(rv, last ? APR_TIMEUP : APR_SUCCESS);
      EXPECT_EQ(ctx.brigade == nullptr, last);
      if (!ctx.brigade)
        break;
    }
  }
}

// An exhaustive reader gets the whole body and the stored status in one call.
TEST_F(Relay, ExhaustiveGivesEverything) {
  park({"ab", "cd", "ef"}, false, APR_TIMEUP);
  apr_status_t rv;
  const delivery d = call(relay_mode::exhaustive, 0, &rv);
  EXPECT_EQ(d.bytes, "abcdef");
  EXPECT_EQ(rv, APR_TIMEUP);
  EXPECT_EQ(ctx.brigade, nullptr);
}

// A body without bytes hands over the end-of-stream bucket alone.
TEST_F(Relay, EndOfStreamAloneIsHandedOver) {
  park({}, true, APR_SUCCESS);
  apr_status_t rv;
  const delivery d = call(relay_mode::readbytes, 8192, &rv);
  EXPECT_EQ(rv, APR_SUCCESS);
  EXPECT_TRUE(d.bytes.empty());
  EXPECT_TRUE(d.eos_last);
  EXPECT_EQ(ctx.brigade, nullptr);
}

// When the very first read failed, every mode returns that status with no
// buckets and ends the hand-over.
TEST_F(Relay, EmptyParkedBrigadeReturnsStoredFailure) {
  const relay_mode modes[] = {relay_mode::readbytes, relay_mode::speculative,
                              relay_mode::getline, relay_mode::exhaustive};
  for (relay_mode mode : modes) {
    SCOPED_TRACE(static_cast<int>(mode));
    park({}, false, APR_ECONNABORTED);
    apr_bucket_brigade *bb = brigade();
    EXPECT_EQ(relay(&ctx, bb, mode, APR_BLOCK_READ, 8192), APR_ECONNABORTED);
    EXPECT_TRUE(APR_BRIGADE_EMPTY(bb));
    EXPECT_EQ(ctx.brigade, nullptr);
  }
}

// Parked bytes own their memory: a filter below that reuses its buffer after
// the read (as mod_ssl does with transient buckets) cannot change them.
TEST_F(Relay, ParkReadSetsAsideTransientBuckets) {
  vornex::api record("127.0.0.1");
  vornex::check_body::body_sink sink(record);
  ctx.brigade = brigade();
  char buffer[] = "first piece";
  apr_bucket_brigade *read_bb = brigade();
  APR_BRIGADE_INSERT_TAIL(
      read_bb, apr_bucket_transient_create(buffer, std::strlen(buffer), alloc));
  EXPECT_FALSE(park_read(&ctx, read_bb, pool, sink));
  std::memset(buffer, 'X', std::strlen(buffer));

  apr_status_t rv;
  const delivery d = call(relay_mode::exhaustive, 0, &rv);
  EXPECT_EQ(d.bytes, "first piece");
  EXPECT_EQ(std::string(record.get_data(), record.get_data_size()),
            "\r\nfirst piece");
}

// Reads are parked in order, metadata included, the check body gets their
// bytes after one empty line, and end-of-stream ends the capture.
TEST_F(Relay, ParkReadAppendsReadsUntilEndOfStream) {
  vornex::api record("127.0.0.1");
  vornex::check_body::body_sink sink(record);
  ctx.brigade = brigade();

  apr_bucket_brigade *read_bb = brigade();
  EXPECT_FALSE(park_read(&ctx, read_bb, pool, sink));
  EXPECT_TRUE(APR_BRIGADE_EMPTY(ctx.brigade));

  add_heap(read_bb, "abc");
  EXPECT_FALSE(park_read(&ctx, read_bb, pool, sink));
  EXPECT_TRUE(APR_BRIGADE_EMPTY(read_bb));

  APR_BRIGADE_INSERT_TAIL(read_bb, apr_bucket_flush_create(alloc));
  add_heap(read_bb, std::string("d\0f", 3));
  add_eos(read_bb);
  EXPECT_TRUE(park_read(&ctx, read_bb, pool, sink));

  int flushes = 0;
  for (apr_bucket *b = APR_BRIGADE_FIRST(ctx.brigade);
       b != APR_BRIGADE_SENTINEL(ctx.brigade); b = APR_BUCKET_NEXT(b))
    flushes += APR_BUCKET_IS_FLUSH(b) ? 1 : 0;
  EXPECT_EQ(flushes, 1);

  apr_status_t rv;
  const delivery d = call(relay_mode::exhaustive, 0, &rv);
  EXPECT_EQ(d.bytes, std::string("abcd\0f", 6));
  EXPECT_TRUE(d.eos_last);
  EXPECT_EQ(std::string(record.get_data(), record.get_data_size()),
            std::string("\r\nabcd\0f", 8));
}

// Headers rewritten by a filter below during the capture stay out of the
// request's table until the body is first handed over, and then replace the
// client's in the same table object, which redirects of the request share.
TEST_F(Relay, HeadersAfterReadAppliedOnceInSameTable) {
  apr_table_t *headers = apr_table_make(pool, 4);
  apr_table_add(headers, "Content-Length", "20");
  apr_table_add(headers, "Content-Encoding", "gzip");
  apr_table_add(headers, "X-A", "1");
  const apr_table_t *sent = apr_table_copy(pool, headers);
  EXPECT_TRUE(vornex::module::same_entries(sent, headers));

  // What the inflating filter does on its first read.
  apr_table_unset(headers, "Content-Length");
  apr_table_unset(headers, "Content-Encoding");
  EXPECT_FALSE(vornex::module::same_entries(sent, headers));

  ctx.headers = headers;
  ctx.headers_after_read = apr_table_copy(pool, headers);
  vornex::module::replace_entries(headers, sent);
  EXPECT_STREQ(apr_table_get(headers, "Content-Length"), "20");
  EXPECT_STREQ(apr_table_get(headers, "Content-Encoding"), "gzip");
  EXPECT_TRUE(vornex::module::same_entries(sent, headers));

  vornex::module::apply_headers_after_read(&ctx);
  EXPECT_EQ(ctx.headers_after_read, nullptr);
  EXPECT_EQ(apr_table_get(headers, "Content-Length"), nullptr);
  EXPECT_EQ(apr_table_get(headers, "Content-Encoding"), nullptr);
  EXPECT_STREQ(apr_table_get(headers, "X-A"), "1");
  vornex::module::apply_headers_after_read(&ctx);
  EXPECT_EQ(apr_table_elts(headers)->nelts, 1);
}

// Tables differ when a value, an order or a count differs; names compare
// exactly as stored.
TEST_F(Relay, SameEntriesComparesNamesValuesAndOrder) {
  struct entry {
    const char *name;
    const char *value;
  };
  const std::vector<entry> base = {{"A", "1"}, {"B", "2"}};
  const std::vector<std::pair<std::vector<entry>, bool>> cases = {
      {{{"A", "1"}, {"B", "2"}}, true},
      {{{"B", "2"}, {"A", "1"}}, false},
      {{{"A", "1"}, {"B", "3"}}, false},
      {{{"A", "1"}}, false},
      {{{"A", "1"}, {"B", "2"}, {"B", "2"}}, false},
      {{{"a", "1"}, {"B", "2"}}, false},
  };
  auto make = [&](const std::vector<entry> &entries) {
    apr_table_t *t = apr_table_make(pool, 4);
    for (const auto &e : entries)
      apr_table_add(t, e.name, e.value);
    return t;
  };
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(vornex::module::same_entries(make(base), make(cases[i].first)),
              cases[i].second)
        << "case " << i;
}

// What a reader that takes one apr_bucket_read of each bucket for all of it
// gets; a bucket that gives less (a file bucket) is reported.
struct one_read_delivery {
  std::string bytes;
  bool eos = false;
  bool short_read = false;
};

class Spool : public Relay {
protected:
  void SetUp() override {
    Relay::SetUp();
    ASSERT_EQ(apr_temp_dir_get(&dir, pool), APR_SUCCESS);
  }

  // A read as the filters below deliver it: heap buckets of at most 8192
  // bytes, and the end of the body with the last of them when `eos`.
  apr_bucket_brigade *read_of(const std::string &bytes, bool eos) {
    apr_bucket_brigade *bb = brigade();
    for (size_t i = 0; i < bytes.size(); i += 8192)
      add_heap(bb, bytes.substr(i, 8192));
    if (eos)
      add_eos(bb);
    return bb;
  }

  one_read_delivery read_all(apr_off_t readbytes) {
    one_read_delivery d;
    for (int calls = 0; ctx.brigade && calls < 100000; ++calls) {
      apr_bucket_brigade *bb = brigade();
      relay(&ctx, bb, relay_mode::readbytes, APR_BLOCK_READ, readbytes);
      for (apr_bucket *b = APR_BRIGADE_FIRST(bb);
           b != APR_BRIGADE_SENTINEL(bb);) {
        if (APR_BUCKET_IS_EOS(b))
          d.eos = true;
        const apr_size_t declared = b->length;
        const char *data = nullptr;
        apr_size_t length = 0;
        apr_bucket_read(b, &data, &length, APR_BLOCK_READ);
        d.short_read = d.short_read || length != declared;
        d.bytes.append(data, length);
        apr_bucket *next = APR_BUCKET_NEXT(b);
        apr_bucket_delete(b);
        // One read per bucket: whatever the read left behind is skipped.
        b = next;
        if (length != declared && b != APR_BRIGADE_SENTINEL(bb))
          b = APR_BUCKET_NEXT(b);
      }
      apr_brigade_destroy(bb);
    }
    return d;
  }

  // The check body the record sends, as a check server receives it.
  std::string sent(vornex::api &record) {
    server.answer({200, {}, ""});
    record.set_server_name(server.address());
    EXPECT_EQ(record.execute(), 0);
    return server.last_body();
  }

  const char *dir = nullptr;
  vornex_test::canned_check_server server;
};

// A body spooled from its first byte reaches a one-read reader whole, in
// memory buckets, and the check sends it from the file after the head.
TEST_F(Spool, SpooledBodyReachesOneReadReaders) {
  const std::string body = pattern(100000);
  vornex::api record("127.0.0.1");
  record.add_data(std::string("POST / HTTP/1.1\r\nHost: a\r\n"));
  vornex::check_body::body_sink sink(record);
  ctx.brigade = brigade();
  spool_file spool{nullptr, 0, APR_SUCCESS};
  ASSERT_EQ(vornex::module::spool_open(&spool, dir, pool), APR_SUCCESS);
  EXPECT_FALSE(vornex::module::spool_read(
      &ctx, read_of(body.substr(0, 50000), false), &spool, pool, sink, record));
  EXPECT_TRUE(vornex::module::spool_read(
      &ctx, read_of(body.substr(50000), true), &spool, pool, sink, record));
  EXPECT_EQ(spool.write_failure, APR_SUCCESS);
  vornex::module::spool_finish(&ctx, &spool, pool, record);
  EXPECT_EQ(std::string(record.get_data(), record.get_data_size()),
            "POST / HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_EQ(sink.body_bytes(), body.size());

  EXPECT_EQ(sent(record), "POST / HTTP/1.1\r\nHost: a\r\n\r\n" + body);
  const one_read_delivery d = read_all(8192);
  EXPECT_FALSE(d.short_read);
  EXPECT_EQ(d.bytes, body);
  EXPECT_TRUE(d.eos);
}

// A body of unknown length kept in memory moves to the file when it goes
// over the limit: the check body loses its in-memory copy, and readers and
// the check still get every byte once, in order.
TEST_F(Spool, BodyMovesToFileMidway) {
  const std::string body = pattern(70001);
  vornex::api record("127.0.0.1");
  record.add_data(std::string("POST / HTTP/1.1\r\n"));
  vornex::check_body::body_sink sink(record);
  ctx.brigade = brigade();
  EXPECT_FALSE(
      park_read(&ctx, read_of(body.substr(0, 30000), false), pool, sink));
  spool_file spool{nullptr, 0, APR_SUCCESS};
  ASSERT_EQ(vornex::module::spool_open(&spool, dir, pool), APR_SUCCESS);
  vornex::module::spool_parked(&ctx, &spool, sink, record);
  ASSERT_NE(spool.file, nullptr);
  EXPECT_EQ(record.get_data_size(), sink.body_start());
  EXPECT_TRUE(vornex::module::spool_read(
      &ctx, read_of(body.substr(30000), true), &spool, pool, sink, record));
  vornex::module::spool_finish(&ctx, &spool, pool, record);
  EXPECT_EQ(sent(record), "POST / HTTP/1.1\r\n\r\n" + body);
  const one_read_delivery d = read_all(8000);
  EXPECT_FALSE(d.short_read);
  EXPECT_EQ(d.bytes, body);
}

// When the file takes no more bytes, what it holds is parked from it and read
// back into the check body, the rest of the body stays in memory, and the
// reason the write failed is kept.
TEST_F(Spool, FullFileKeepsRestInMemory) {
  const std::string body = pattern(40000);
  // A file that already holds the first 10000 bytes and refuses writes.
  char *path = apr_pstrcat(pool, dir, "/vornex-test-XXXXXX", nullptr);
  apr_file_t *writer = nullptr;
  ASSERT_EQ(apr_file_mktemp(&writer, path, 0, pool), APR_SUCCESS);
  ASSERT_EQ(apr_file_write_full(writer, body.data(), 10000, nullptr),
            APR_SUCCESS);
  apr_file_t *read_only = nullptr;
  ASSERT_EQ(apr_file_open(&read_only, path, APR_FOPEN_READ, 0, pool),
            APR_SUCCESS);
  spool_file spool{read_only, 10000, APR_SUCCESS};

  vornex::api record("127.0.0.1");
  record.add_data(std::string("POST / HTTP/1.1\r\n"));
  vornex::check_body::body_sink sink(record);
  sink.add_outside(10000);
  ctx.brigade = brigade();
  EXPECT_TRUE(vornex::module::spool_read(
      &ctx, read_of(body.substr(10000), true), &spool, pool, sink, record));
  EXPECT_EQ(spool.file, nullptr);
  EXPECT_NE(spool.write_failure, APR_SUCCESS);
  vornex::module::spool_finish(&ctx, &spool, pool, record);
  EXPECT_EQ(std::string(record.get_data(), record.get_data_size()),
            "POST / HTTP/1.1\r\n\r\n" + body);
  const one_read_delivery d = read_all(8192);
  EXPECT_FALSE(d.short_read);
  EXPECT_EQ(d.bytes, body);
  EXPECT_TRUE(d.eos);
}

// An end of body that came in a read of its own is handed over in a call of
// its own; one that came with the last bytes comes with them.
TEST_F(Spool, EndOfBodyKeepsItsReadBoundary) {
  for (const bool alone : {true, false}) {
    vornex::api record("127.0.0.1");
    vornex::check_body::body_sink sink(record);
    ctx.brigade = brigade();
    ctx.eos_alone = false;
    if (alone) {
      EXPECT_FALSE(park_read(&ctx, read_of("abc", false), pool, sink));
      EXPECT_TRUE(park_read(&ctx, read_of("", true), pool, sink));
    } else {
      EXPECT_TRUE(park_read(&ctx, read_of("abc", true), pool, sink));
    }
    apr_status_t rv;
    delivery first = call(relay_mode::readbytes, 8192, &rv);
    EXPECT_EQ(first.bytes, "abc");
    EXPECT_EQ(first.eos, !alone) << "alone=" << alone;
    if (alone) {
      delivery second = call(relay_mode::readbytes, 8192, &rv);
      EXPECT_EQ(second.bytes, "");
      EXPECT_TRUE(second.eos);
    }
    EXPECT_EQ(ctx.brigade, nullptr);
  }
}

} // namespace
