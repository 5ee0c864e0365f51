// Bounds on an answer while the HTTP library reads it. The library keeps a
// line it reads in memory until the line ends, and every header line until
// the head ends, however long either goes on; its limits on a header line
// and our cap on header lines apply only then. The meter sees each byte the
// library takes, as the library takes it, and stops the reading as soon as
// the answer goes over a bound.
#ifndef VORNEX_ANSWER_METER_H
#define VORNEX_ANSWER_METER_H

#include <cstddef>

namespace vornex {

struct answer_limits {
  // Lines of the head: the status line, the header lines, the empty line
  // that ends them (and an interim 100 answer's two lines).
  size_t head_lines;
  // Bytes of the head, line ends included.
  size_t head_bytes;
  // Bytes of any single line, its line feed left out: the status line, a
  // header line, a chunk-size line or a trailer line of the body.
  size_t line_bytes;
};

class answer_meter {
public:
  enum class excess { none, head_lines, head_bytes, line_bytes };

  explicit answer_meter(const answer_limits &limits);

  // Takes note of the `length` bytes at `bytes` that one read of the
  // library, which asked for `asked` bytes, takes. False when they take the
  // answer over a bound (over() then says which); once over, every later
  // count is refused as well.
  //
  // The library reads lines a byte at a time and nothing else in reads of
  // one byte except the last byte of a body or of a chunk, which a line end
  // follows; so the bytes of one-byte reads since the last line feed are
  // the line it holds. A larger read is body data, and ends any line.
  bool count(const char *bytes, size_t length, size_t asked);

  // The head has been read whole (the library's answer handler runs): from
  // here on only single lines are bounded; the body has its cap where it is
  // kept.
  void end_head() { in_head = false; }

  excess over() const { return exceeded; }
  // Bytes taken so far, of the whole answer.
  size_t taken() const { return total; }

private:
  bool refuse(excess why);

  answer_limits limits;
  bool in_head = true;
  excess exceeded = excess::none;
  size_t total = 0;
  size_t head_lines = 0;
  size_t head_bytes = 0;
  size_t line = 0;
};

} // namespace vornex

#endif
