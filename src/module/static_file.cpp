#include "static_file.h"

#include <apr_strings.h>
#include <apr_uri.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vornex {
namespace module {

const char static_file_pattern[] =
    "\\/.*[^\\/]\\.(css|js|map|jpe?g|gif|png|svg|ico|ttf|woff2?|eot|otf|ogg|"
    "mp3|mp4|mpg|avi|mov|flv|swf|apng|avif|jfif|pjpeg|pjp|webp)(\\?|$)";

namespace {

// Packed bytes with each from 'A' to 'Z' in lower case, computed on all at
// once: on the low seven bits, adding 0x80 - 'A' sets the top bit from 'A'
// up and adding 0x80 - 'Z' - 1 sets it above 'Z'; bytes from 0x80 are left.
constexpr uint64_t lower_case(uint64_t bytes) {
  const uint64_t ones = 0x0101010101010101u;
  const uint64_t low = bytes & (0x7f * ones);
  const uint64_t from_a = low + (0x80 - 'A') * ones;
  const uint64_t above_z = low + (0x80 - 'Z' - 1) * ones;
  const uint64_t upper = from_a & ~above_z & ~bytes & (0x80 * ones);
  return bytes | upper >> 2;
}

const size_t longest_extension = 5;

// An extension's `n` bytes (2 to 5) as an integer, the first one lowest, in
// lower case, loaded without a loop: this runs for every request. Extensions
// hold no NUL, so those of different lengths give different values.
constexpr uint64_t packed(const char *s, size_t n) {
  const auto byte = [s](size_t i) {
    return uint64_t{static_cast<unsigned char>(s[i])} << (8 * i);
  };
  uint64_t bytes = 0;
  switch (n) {
  case 5:
    bytes |= byte(4);
    [[fallthrough]];
  case 4:
    bytes |= byte(3);
    [[fallthrough]];
  case 3:
    bytes |= byte(2);
    [[fallthrough]];
  default:
    bytes |= byte(1) | byte(0);
  }
  return lower_case(bytes);
}

template <size_t N> constexpr uint64_t packed(const char (&s)[N]) {
  static_assert(N - 1 >= 2 && N - 1 <= longest_extension, "an extension");
  return packed(s, N - 1);
}

// Whether the `n` bytes at `s` are one of the extensions, ignoring ASCII case
// as the pattern does: one switch on the packed bytes.
bool is_extension(const char *s, size_t n) {
  if (n < 2 || n > longest_extension)
    return false;
  switch (packed(s, n)) {
  case packed("js"):
  case packed("css"):
  case packed("map"):
  case packed("jpg"):
  case packed("jpeg"):
  case packed("gif"):
  case packed("png"):
  case packed("svg"):
  case packed("ico"):
  case packed("ttf"):
  case packed("woff"):
  case packed("woff2"):
  case packed("eot"):
  case packed("otf"):
  case packed("ogg"):
  case packed("mp3"):
  case packed("mp4"):
  case packed("mpg"):
  case packed("avi"):
  case packed("mov"):
  case packed("flv"):
  case packed("swf"):
  case packed("apng"):
  case packed("avif"):
  case packed("jfif"):
  case packed("pjpeg"):
  case packed("pjp"):
  case packed("webp"):
    return true;
  default:
    return false;
  }
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
const char *parse_skip_target(apr_pool_t *pool, const char *target) {
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

// Linear in the URI's length, in library scans. A '.' matches when the
// byte before it is not '/' (`[^\/]`), a '/' stands at or before it less
// two (`\/.*`), and the bytes after it up to the next '?' or the end are an
// extension (`(\?|$)` after an extension, which holds no '?'). Since an
// extension holds no '.' either, only the last '.' before each '?' and
// before the end can start one. Apache compiles patterns with DOTALL and
// DOLLAR_ENDONLY by default, so a newline is a byte like any other here; an
// unparsed URI holds none anyway.
bool is_static_file(const char *uri, bool *parameters) {
  const char *end = strchrnul(uri, '?');
  if (parameters)
    *parameters = std::memchr(uri, ';', static_cast<size_t>(end - uri));
  // Most targets start with theirs.
  const char *slash = *uri == '/' ? uri : std::strchr(uri, '/');
  if (!slash)
    return false;
  for (const char *start = uri;;) {
    const auto *dot = static_cast<const char *>(
        memrchr(start, '.', static_cast<size_t>(end - start)));
    if (dot && dot >= slash + 2 && dot[-1] != '/' &&
        is_extension(dot + 1, static_cast<size_t>(end - dot - 1)))
      return true;
    if (!*end)
      return false;
    start = end + 1;
    end = strchrnul(start, '?');
  }
}

} // namespace module
} // namespace vornex
