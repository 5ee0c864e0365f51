// Check body layout: request line, header lines in table order, and the body
// after one empty line only when there are body bytes.
#include "check_body.h"
#include "pool_fixture.h"

#include <apr_tables.h>

#include <gtest/gtest.h>

#include <string>

namespace {

class CheckBody : public vornex_test::pool_fixture {
protected:
  std::string body() {
    return std::string(record.get_data(), record.get_data_size());
  }

  vornex::api record{"127.0.0.1"};
};

// Header lines follow the table's stored order, duplicates and empty values
// included, without escaping or case change.
TEST_F(CheckBody, HeadListsEveryEntryInTableOrder) {
  apr_table_t *headers = apr_table_make(pool, 4);
  apr_table_add(headers, "Host", "site.example");
  apr_table_add(headers, "Cookie", "a=1");
  apr_table_add(headers, "x-lower", "Mixed Value");
  apr_table_add(headers, "Cookie", "b=2");
  apr_table_add(headers, "X-Empty", "");
  vornex::check_body::add_head(record, "POST /form?q=%20 HTTP/1.1",
                               apr_table_elts(headers));
  EXPECT_EQ(body(), "POST /form?q=%20 HTTP/1.1\r\n"
                    "Host: site.example\r\n"
                    "Cookie: a=1\r\n"
                    "x-lower: Mixed Value\r\n"
                    "Cookie: b=2\r\n"
                    "X-Empty: \r\n");
}

// An empty header table leaves the request line and its line end alone.
TEST_F(CheckBody, EmptyTableGivesRequestLineOnly) {
  vornex::check_body::add_head(record, "GET / HTTP/1.1",
                               apr_table_elts(apr_table_make(pool, 0)));
  EXPECT_EQ(body(), "GET / HTTP/1.1\r\n");
}

// Without body bytes the check body ends with the last header line.
TEST_F(CheckBody, NoEmptyLineWithoutBodyBytes) {
  apr_table_t *headers = apr_table_make(pool, 1);
  apr_table_add(headers, "Host", "h");
  vornex::check_body::add_head(record, "GET / HTTP/1.1",
                               apr_table_elts(headers));
  vornex::check_body::body_sink sink(record);
  sink.add("", 0);
  EXPECT_FALSE(sink.has_body());
  EXPECT_EQ(body(), "GET / HTTP/1.1\r\nHost: h\r\n");
}

// The empty line goes in once, before the first non-empty piece, and the
// pieces follow byte for byte with nothing after them.
TEST_F(CheckBody, SeparatorPrecedesFirstNonEmptyPieceOnly) {
  apr_table_t *headers = apr_table_make(pool, 1);
  apr_table_add(headers, "Host", "h");
  vornex::check_body::add_head(record, "POST / HTTP/1.1",
                               apr_table_elts(headers));
  vornex::check_body::body_sink sink(record);
  sink.add("", 0);
  sink.add("a\0", 2);
  sink.add("", 0);
  sink.add("\r\n\xff", 3);
  EXPECT_TRUE(sink.has_body());
  EXPECT_EQ(body(), std::string("POST / HTTP/1.1\r\nHost: h\r\n\r\na") + '\0' +
                        "\r\n\xff");
}

} // namespace
