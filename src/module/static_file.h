// What the skip patterns are matched against, and the URIs that screening
// skips when VornexSkip is not set: a path whose last segment ends in a
// static file's extension, with or without a query.
#ifndef VORNEX_STATIC_FILE_H
#define VORNEX_STATIC_FILE_H

#include <apr_pools.h>

namespace vornex {
namespace module {

// skip_target for a target that does not start with "/".
const char *parse_skip_target(apr_pool_t *pool, const char *target);

// The request target as the server resolves it, which is what the skip
// patterns look at: the path and, after a "?", the query. An absolute-form
// target ("http://host/path?query") gives its path ("/" when it has none) and
// query, not the scheme and host, which the server does not map to a file;
// an origin-form target is returned as it is, without a call (this is asked
// on every request). Anything made is allocated from `pool`.
inline const char *skip_target(apr_pool_t *pool, const char *target) {
  return target[0] == '/' ? target : parse_skip_target(pool, target);
}

// `target` (a path and query) without its path parameters (";name=value"
// after a segment, which backends such as servlet containers drop from the
// path while the server keeps them in the file name); `target` itself when
// its path has none, else a copy from `pool`. The query stays whole.
const char *without_path_parameters(apr_pool_t *pool, const char *target);

// The rule as the regular expression (matched ignoring case) that the debug
// log shows as skip_uri.
extern const char static_file_pattern[];

// Whether `uri` matches static_file_pattern, without a regular expression
// engine: this runs for every request, and on a busy static site the match
// was the largest part of what the module costs a request that it skips.
// With `parameters`, also says whether the path (before any "?") holds a
// ';', so that a caller need not look for path parameters in another pass.
bool is_static_file(const char *uri, bool *parameters = nullptr);

} // namespace module
} // namespace vornex

#endif
