#include "answer_meter.h"

namespace vornex {

answer_meter::answer_meter(const answer_limits &limits) : limits(limits) {}

bool answer_meter::refuse(excess why) {
  exceeded = why;
  return false;
}

bool answer_meter::count(const char *bytes, size_t length, size_t asked) {
  if (exceeded != excess::none)
    return false;
  total += length;
  if (in_head) {
    head_bytes += length;
    if (head_bytes > limits.head_bytes)
      return refuse(excess::head_bytes);
  }
  if (asked != 1) {
    line = 0;
    return true;
  }
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != '\n') {
      if (++line > limits.line_bytes)
        return refuse(excess::line_bytes);
      continue;
    }
    line = 0;
    if (in_head && ++head_lines > limits.head_lines)
      return refuse(excess::head_lines);
  }
  return true;
}

} // namespace vornex
