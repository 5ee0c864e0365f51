// The URIs that screening skips when VornexSkip is not set: a path whose last
// segment ends in a static file's extension, with or without a query.
#ifndef VORNEX_STATIC_FILE_H
#define VORNEX_STATIC_FILE_H

namespace vornex {
namespace module {

// The rule as the regular expression (matched ignoring case) that the debug
// log shows as skip_uri.
extern const char static_file_pattern[];

// Whether `uri` matches static_file_pattern, without a regular expression
// engine: this runs for every request, and on a busy static site the match
// was the largest part of what the module costs a request that it skips.
bool is_static_file(const char *uri);

} // namespace module
} // namespace vornex

#endif
