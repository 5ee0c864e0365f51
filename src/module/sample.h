// VornexSample: which requests of a section are checked. The share is kept
// in parts per million of requests; each request draws from a generator of
// its own thread, seeded afresh in every worker process, so that processes
// forked from one parent do not draw the same sequence. Only the standard
// library is used here, so tests reach it without a server.
#ifndef VORNEX_SAMPLE_H
#define VORNEX_SAMPLE_H

#include <cstdint>
#include <random>

namespace vornex {
namespace module {

// Parts per million of all requests: 100 %.
const long sample_all = 1000000;

// The share of `text`, a percentage from 0 to 100 with at most four
// decimals ("10", "0.5", "33.3333"), in parts per million; -1 for any other
// text.
long parse_sample(const char *text);

// Whether a request is checked under a share of `ppm` parts per million,
// drawn from `generator`: never under 0, always under sample_all, and
// otherwise with a chance of ppm in a million.
bool draw_sample(long ppm, std::mt19937_64 &generator);

// The same, from the calling thread's generator.
bool sampled(long ppm);

// Makes every thread of this process seed its generator anew before its
// next draw; called in each worker process after it is forked.
void reseed_samples();

} // namespace module
} // namespace vornex

#endif
