#include "pattern.h"

#include <gtest/gtest.h>

#include <string>

namespace vornex {
namespace check_server {
namespace {

// A pattern searches a megabyte-long text without exhausting the stack.
TEST(Pattern, SearchesVeryLongText) {
  const pattern p("^(a|b)*c$");
  std::string text(1 << 20, 'a');
  EXPECT_FALSE(p.search(text));
  text += 'c';
  EXPECT_TRUE(p.search(text));
}

// A pattern sees the bytes after a NUL byte.
TEST(Pattern, SearchesPastNulByte) {
  EXPECT_TRUE(pattern("z").search(std::string("a\0z", 3)));
}

} // namespace
} // namespace check_server
} // namespace vornex
