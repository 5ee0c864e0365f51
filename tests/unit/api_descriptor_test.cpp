// A check call from a process that already holds more descriptors than a
// select() set can name: the connection's descriptor number is above 1024
// and the call must still get its verdict.
#include "api.h"
#include "test_servers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using vornex_test::canned_reply;
using vornex_test::check_server;

// FD_SETSIZE on Linux: select() cannot wait on a descriptor at or past it.
const int select_limit = 1024;
// Room for the descriptors to fill, the check connection and the server's
// side of it.
const rlim_t needed_limit = 1100;

// Opens descriptors on /dev/null until the next free number is above the
// select() limit, raising the soft limit for it, and puts everything back
// when it goes.
class descriptor_filler {
public:
  descriptor_filler() {
    if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0) {
      reason_ = "getrlimit failed";
      return;
    }
    if (saved_.rlim_max != RLIM_INFINITY && saved_.rlim_max < needed_limit) {
      reason_ = "the hard descriptor limit " + std::to_string(saved_.rlim_max) +
                " is below " + std::to_string(needed_limit);
      return;
    }
    if (saved_.rlim_cur == RLIM_INFINITY || saved_.rlim_cur >= needed_limit) {
      ready_ = true;
    } else {
      rlimit raised = saved_;
      raised.rlim_cur = needed_limit;
      if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        reason_ = "setrlimit failed";
        return;
      }
      restore_ = true;
      ready_ = true;
    }
    for (;;) {
      const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        reason_ = "open failed after " + std::to_string(fds_.size());
        ready_ = false;
        return;
      }
      fds_.push_back(fd);
      if (fd > select_limit)
        break;
    }
  }

  ~descriptor_filler() {
    for (const int fd : fds_)
      ::close(fd);
    if (restore_)
      ::setrlimit(RLIMIT_NOFILE, &saved_);
  }

  descriptor_filler(const descriptor_filler &) = delete;
  descriptor_filler &operator=(const descriptor_filler &) = delete;

  bool ready() const { return ready_; }
  const std::string &reason() const { return reason_; }

  // The number the next socket or file will get: the lowest free one.
  static int next_free() {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
      ::close(fd);
    return fd;
  }

private:
  rlimit saved_{};
  bool restore_ = false;
  bool ready_ = false;
  std::string reason_;
  std::vector<int> fds_;
};

// Descriptors open in this process right now.
int open_count() {
  DIR *dir = ::opendir("/proc/self/fd");
  if (!dir)
    return -1;
  int count = 0;
  while (const dirent *entry = ::readdir(dir))
    if (entry->d_name[0] != '.')
      ++count;
  ::closedir(dir);
  return count;
}

// Waits, at most five seconds, until the server's threads have closed their
// side of earlier connections and `count` descriptors are open again, so
// that no low number falls free while the filler holds the rest.
bool settle(int count) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (open_count() != count) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// With every descriptor up to past 1024 taken, the check connection gets a
// number above 1024 and the call still returns the server's verdict.
TEST(ApiDescriptorTest, CallWithDescriptorAbove1024GetsVerdict) {
  check_server server;
  server.answer(
      canned_reply{200,
                   {{"VX-X-Mitigation", "challenge"}, {"VX-Set-Cookie", "k=v"}},
                   "<p>page</p>"});
  vornex::api record(server.address());
  record.add_data("POST / HTTP/1.1\r\nHost: a\r\n\r\nbody");
  // One call while descriptors are few brings up all of the server's threads.
  const int baseline = open_count();
  ASSERT_EQ(record.execute(), 2);
  ASSERT_TRUE(settle(baseline));

  descriptor_filler filler;
  if (!filler.ready())
    GTEST_SKIP() << filler.reason();
  ASSERT_GT(descriptor_filler::next_free(), select_limit);

  int code = -1;
  try {
    code = record.execute();
  } catch (const std::exception &e) {
    FAIL() << "check call failed: " << e.what();
  }
  EXPECT_EQ(code, 2);
  EXPECT_EQ(record.get_challenge_page(), "<p>page</p>");
  EXPECT_EQ(record.get_challenge_headers().at("Set-Cookie"), "k=v");
  EXPECT_EQ(server.checks(), 2);
  EXPECT_EQ(server.last_body(), "POST / HTTP/1.1\r\nHost: a\r\n\r\nbody");
}

// Twenty calls in a row from the crowded process all succeed, and once the
// server has closed its side no descriptor is left open by them.
TEST(ApiDescriptorTest, RepeatedCallsWithDescriptorsAbove1024Succeed) {
  check_server server;
  server.answer(canned_reply{403, {}, ""});
  vornex::api record(server.address());
  record.add_data("GET / HTTP/1.1\r\n");
  const int baseline = open_count();
  ASSERT_EQ(record.execute(), 1);
  ASSERT_TRUE(settle(baseline));

  descriptor_filler filler;
  if (!filler.ready())
    GTEST_SKIP() << filler.reason();
  ASSERT_GT(descriptor_filler::next_free(), select_limit);
  const int filled = open_count();

  for (int i = 0; i < 20; ++i) {
    try {
      EXPECT_EQ(record.execute(), 1) << "call " << i;
    } catch (const std::exception &e) {
      FAIL() << "call " << i << " failed: " << e.what();
    }
  }
  EXPECT_EQ(server.checks(), 21);
  EXPECT_TRUE(settle(filled))
      << open_count() << " open, " << filled << " before the calls";
}

} // namespace
