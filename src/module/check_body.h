// Layout of the check body: the request line, the header lines and, when the
// request has one, an empty line and the body bytes.
#ifndef VORNEX_CHECK_BODY_H
#define VORNEX_CHECK_BODY_H

#include <apr_tables.h>

#include <cstddef>
#include <cstdint>

#include "api.h"

namespace vornex {
namespace check_body {

// Appends the request line, "\r\n" and one "name: value\r\n" line for each
// of the entries of a header table (apr_table_elts, or a copy of them), in
// the table's stored order.
void add_head(api &record, const char *request_line,
              const apr_array_header_t *entries);

// Appends body pieces; the first non-empty piece is preceded by "\r\n", so a
// request without body bytes ends with its last header line.
class body_sink {
public:
  explicit body_sink(api &record) : record(record) {}
  void add(const char *bytes, size_t length);
  // Counts body bytes that the record gets from elsewhere (a spool file):
  // only the separator goes into the record.
  void add_outside(size_t length);
  bool has_body() const { return !first; }
  // Body bytes counted so far, and where they start in the record.
  uint64_t body_bytes() const { return bytes; }
  size_t body_start() const { return start; }

private:
  void separate();

  api &record;
  bool first = true;
  uint64_t bytes = 0;
  size_t start = 0;
};

} // namespace check_body
} // namespace vornex

#endif
