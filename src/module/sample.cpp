#include "sample.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <thread>

namespace vornex {
namespace module {

namespace {

// Changed in each new worker process; a thread whose generator was seeded
// under another value seeds it again.
std::atomic<uint64_t> process_epoch{1};

// A seed from the system's random source; should it fail, from what tells
// this thread apart from every other (process, thread, time).
uint64_t fresh_seed() {
  try {
    std::random_device source;
    return (static_cast<uint64_t>(source()) << 32) ^ source();
  } catch (const std::exception &) {
    const uint64_t now = static_cast<uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    return now ^ (static_cast<uint64_t>(getpid()) << 40) ^
           std::hash<std::thread::id>()(std::this_thread::get_id());
  }
}

} // namespace

long parse_sample(const char *text) {
  long whole = 0;
  int digits = 0;
  const char *p = text;
  for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
    whole = whole * 10 + (*p - '0');
    if (whole > 100)
      return -1;
  }
  if (digits == 0)
    return -1;
  long fraction = 0;
  int decimals = 0;
  if (*p == '.') {
    for (++p; *p >= '0' && *p <= '9'; ++p) {
      if (++decimals > 4)
        return -1;
      fraction = fraction * 10 + (*p - '0');
    }
    if (decimals == 0)
      return -1;
  }
  if (*p)
    return -1;
  for (int i = decimals; i < 4; ++i)
    fraction *= 10;
  const long ppm = whole * 10000 + fraction;
  return ppm <= sample_all ? ppm : -1;
}

bool draw_sample(long ppm, std::mt19937_64 &generator) {
  if (ppm >= sample_all)
    return true;
  if (ppm <= 0)
    return false;
  std::uniform_int_distribution<long> one_in_a_million(0, sample_all - 1);
  return one_in_a_million(generator) < ppm;
}

bool sampled(long ppm) {
  if (ppm >= sample_all || ppm <= 0)
    return ppm > 0;
  thread_local uint64_t seeded_in = 0;
  thread_local std::mt19937_64 generator;
  const uint64_t epoch = process_epoch.load();
  if (seeded_in != epoch) {
    generator.seed(fresh_seed());
    seeded_in = epoch;
  }
  return draw_sample(ppm, generator);
}

void reseed_samples() { process_epoch.fetch_add(1); }

} // namespace module
} // namespace vornex
