#include "static_file.h"

#include <apr_strings.h>
#include <apr_uri.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>

namespace vornex {
namespace module {

const char static_file_pattern[] =
    "\\/.*[^\\/]\\.(css|js|map|jpe?g|gif|png|svg|ico|ttf|woff2?|eot|otf|ogg|"
    "mp3|mp4|mpg|avi|mov|flv|swf|apng|avif|jfif|pjpeg|pjp|webp)(\\?|$)";

namespace {

// The extensions by length: those of length n in extensions[n], separated
// by spaces, each in lower case.
const char *const extensions[] = {
    "",
    "",
    "js",
    "css map jpg gif png svg ico ttf eot otf ogg mp3 mp4 mpg avi mov flv swf "
    "pjp",
    "jpeg woff apng avif jfif webp",
    "woff2 pjpeg"};
const size_t longest_extension = 5;

// Whether the `n` bytes at `s` are one of the extensions, ignoring ASCII case
// as the pattern does. Asked for every dot in a URI's path: only the
// extensions of the same length are compared.
bool is_extension(const char *s, size_t n) {
  if (n < 2 || n > longest_extension)
    return false;
  char lower[longest_extension];
  for (size_t i = 0; i < n; ++i) {
    const char c = s[i];
    lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  for (const char *e = extensions[n]; *e; e += n + 1) {
    if (std::memcmp(e, lower, n) == 0)
      return true;
    if (!e[n])
      break;
  }
  return false;
}

// The bytes is_static_file stops at: '/', '.', ';', '?' and the end.
struct byte_marks {
  bool marked[256] = {};
  constexpr byte_marks() {
    for (const char c : {'/', '.', ';', '?', '\0'})
      marked[static_cast<unsigned char>(c)] = true;
  }
  constexpr bool operator[](unsigned char c) const { return marked[c]; }
};
constexpr byte_marks marks_byte;

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
  // Most paths have no parameters: one pass finds that.
  const size_t before = std::strcspn(target, ";?");
  if (target[before] != ';')
    return target;
  const char *query = std::strchr(target + before, '?');
  const size_t path_length =
      query ? static_cast<size_t>(query - target) : std::strlen(target);
  return apr_pstrcat(pool, without_parameters(pool, target, path_length), query,
                     nullptr);
}

// One pass, linear in the URI's length. A '.' at i matches when the byte
// before it is not '/' (`[^\/]`), a '/' stands at or before i - 2 (`\/.*`),
// and the bytes after it up to the first '?' or the end are an extension
// (`(\?|$)` after an extension, which holds no '?'). Since an extension
// holds no '.' either, only the last '.' before each '?' and before the end
// can start one. The same pass notes a ';' in the path. Apache compiles
// patterns with DOTALL and DOLLAR_ENDONLY by default, so a newline is a byte
// like any other here; an unparsed URI holds none anyway.
bool is_static_file(const char *uri, bool *parameters) {
  const char *slash = nullptr;
  const char *dot = nullptr;
  bool in_path = true;
  bool semicolon = false;
  bool matched = false;
  for (const char *at = uri;; ++at) {
    // Most bytes are none of the five the rule looks at: one table look
    // each.
    while (!marks_byte[static_cast<unsigned char>(*at)])
      ++at;
    const char c = *at;
    if (c == '/') {
      if (!slash)
        slash = at;
    } else if (c == '.') {
      dot = slash && at >= slash + 2 && at[-1] != '/' ? at : nullptr;
    } else if (c == ';') {
      semicolon = semicolon || in_path;
    } else if (c == '?' || c == '\0') {
      matched =
          matched ||
          (dot && is_extension(dot + 1, static_cast<size_t>(at - dot - 1)));
      // Past the first '?' only a match is looked for.
      if (c == '\0' || matched)
        break;
      in_path = false;
      dot = nullptr;
    }
  }
  if (parameters)
    *parameters = semicolon;
  return matched;
}

} // namespace module
} // namespace vornex
