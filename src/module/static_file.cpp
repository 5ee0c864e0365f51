#include "static_file.h"

#include <apr_strings.h>
#include <apr_uri.h>

#include <cstddef>
#include <cstring>

namespace vornex {
namespace module {

const char static_file_pattern[] =
    "\\/.*[^\\/]\\.(css|js|map|jpe?g|gif|png|svg|ico|ttf|woff2?|eot|otf|ogg|"
    "mp3|mp4|mpg|avi|mov|flv|swf|apng|avif|jfif|pjpeg|pjp|webp)(\\?|$)";

namespace {

const char *const extensions[] = {
    "css", "js",   "map",  "jpg",  "jpeg",  "gif", "png",
    "svg", "ico",  "ttf",  "woff", "woff2", "eot", "otf",
    "ogg", "mp3",  "mp4",  "mpg",  "avi",   "mov", "flv",
    "swf", "apng", "avif", "jfif", "pjpeg", "pjp", "webp"};
const size_t longest_extension = 5;

// Whether the `n` bytes at `s` are one of the extensions, ignoring ASCII case
// as the pattern does.
bool is_extension(const char *s, size_t n) {
  if (n == 0 || n > longest_extension)
    return false;
  char lower[longest_extension];
  for (size_t i = 0; i < n; ++i) {
    const char c = s[i];
    lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  for (const char *e : extensions)
    if (std::strlen(e) == n && std::memcmp(e, lower, n) == 0)
      return true;
  return false;
}

// `path`'s first `length` bytes without path parameters: in each segment,
// from a ';' up to the next '/'.
char *without_parameters(apr_pool_t *pool, const char *path, size_t length) {
  char *out = static_cast<char *>(apr_palloc(pool, length + 1));
  size_t n = 0;
  bool parameter = false;
  for (size_t i = 0; i < length; ++i) {
    if (path[i] == '/')
      parameter = false;
    else if (path[i] == ';')
      parameter = true;
    if (!parameter)
      out[n++] = path[i];
  }
  out[n] = '\0';
  return out;
}

} // namespace

// The server takes a target that starts with "/" as a path, "//" included
// (it does not read a host there), and parses any other with a scheme as an
// absolute URI; "*" and whatever it refuses with 400 never get here as
// anything else.
const char *skip_target(apr_pool_t *pool, const char *target) {
  if (target[0] == '/')
    return target;
  apr_uri_t uri;
  if (apr_uri_parse(pool, target, &uri) != APR_SUCCESS || !uri.scheme)
    return target;
  return apr_pstrcat(pool, uri.path && uri.path[0] ? uri.path : "/",
                     uri.query ? "?" : "", uri.query, nullptr);
}

const char *without_path_parameters(apr_pool_t *pool, const char *target) {
  const char *query = std::strchr(target, '?');
  const size_t path_length =
      query ? static_cast<size_t>(query - target) : std::strlen(target);
  if (!std::memchr(target, ';', path_length))
    return target;
  return apr_pstrcat(pool, without_parameters(pool, target, path_length), query,
                     nullptr);
}

// One pass, linear in the URI's length. A '.' at i matches when the byte
// before it is not '/' (`[^\/]`), a '/' stands at or before i - 2 (`\/.*`),
// and the bytes after it up to the first '?' or the end are an extension
// (`(\?|$)` after an extension, which holds no '?'). Apache compiles patterns
// with DOTALL and DOLLAR_ENDONLY by default, so a newline is a byte like any
// other here; an unparsed URI holds none anyway.
bool is_static_file(const char *uri) {
  const char *slash = std::strchr(uri, '/');
  if (!slash || !slash[1])
    return false;
  const char *const uri_end = uri + std::strlen(uri);
  const char *question = std::strchr(uri, '?');
  for (const char *dot = slash + 2; (dot = std::strchr(dot, '.')); ++dot) {
    if (dot[-1] == '/')
      continue;
    if (question && question < dot)
      question = std::strchr(dot, '?');
    const char *end = question ? question : uri_end;
    if (is_extension(dot + 1, static_cast<size_t>(end - dot - 1)))
      return true;
  }
  return false;
}

} // namespace module
} // namespace vornex
