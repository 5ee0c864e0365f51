#include "check_body.h"

#include <cstring>

namespace vornex {
namespace check_body {

namespace {
const char line_end[] = "\r\n";
const char separator[] = ": ";
} // namespace

void add_head(api &record, const char *request_line,
              const apr_array_header_t *entries) {
  if (request_line)
    record.add_data(request_line, std::strlen(request_line));
  record.add_data(line_end, 2);
  if (!entries)
    return;
  const auto *entry =
      reinterpret_cast<const apr_table_entry_t *>(entries->elts);
  for (int i = 0; i < entries->nelts; ++i) {
    // Tables may hold deleted or unset slots; they carry no header.
    if (!entry[i].key)
      continue;
    record.add_data(entry[i].key, std::strlen(entry[i].key));
    record.add_data(separator, 2);
    if (entry[i].val)
      record.add_data(entry[i].val, std::strlen(entry[i].val));
    record.add_data(line_end, 2);
  }
}

void body_sink::separate() {
  if (!first)
    return;
  record.add_data(line_end, 2);
  first = false;
  start = record.get_data_size();
}

void body_sink::add(const char *data, size_t length) {
  if (length == 0)
    return;
  separate();
  record.add_data(data, length);
  bytes += length;
}

void body_sink::add_outside(size_t length) {
  if (length == 0)
    return;
  separate();
  bytes += length;
}

} // namespace check_body
} // namespace vornex
