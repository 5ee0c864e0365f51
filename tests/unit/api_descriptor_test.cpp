// A check call from a process that already holds more descriptors than a
// select() set can name: the connection's descriptor number is above 1024
// and the call must still get its verdict.
#include "api.h"
#include "test_servers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using vornex_test::canned_check_server;
using vornex_test::canned_reply;

// FD_SETSIZE on Linux: select() cannot wait on a descriptor at or past it.
const int select_limit = 1024;
// Room for the descriptors to fill, and above them for the check
// connections, the server's side of them and, should the client leak, for
// that leak to show in a count rather than as a failed call.
const rlim_t needed_limit = 1200;

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

// This process's descriptors of connected sockets whose local loopback port
// is `port`; asked with the port a check came from, while the server handles
// it, the check client's side of that connection.
std::vector<int> connections_from(int port) {
  std::vector<int> found;
  DIR *dir = ::opendir("/proc/self/fd");
  if (!dir)
    return found;
  while (const dirent *entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.')
      continue;
    const int fd = std::atoi(entry->d_name);
    sockaddr_in local{}, peer{};
    socklen_t length = sizeof(local);
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0 ||
        local.sin_family != AF_INET || ntohs(local.sin_port) != port)
      continue;
    length = sizeof(peer);
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0)
      found.push_back(fd);
  }
  ::closedir(dir);
  return found;
}

// Records, for every check the server receives, the descriptor number the
// check client's socket has in this process.
class client_descriptors {
public:
  explicit client_descriptors(canned_check_server &server) {
    server.on_check([this](const httplib::Request &request) {
      const std::vector<int> found = connections_from(request.remote_port);
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(found.size() == 1 ? found[0] : -1);
    });
  }

  std::vector<int> seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

private:
  mutable std::mutex mutex_;
  std::vector<int> seen_;
};

// Descriptors that may stay open after the calls without any call having
// leaked: the sanitizer runtime or a library may open one or two of its own.
const int stray_allowance = 4;

// Waits until at most `count` descriptors are open, or for twenty seconds,
// far longer than the server's threads need to close their side of finished
// connections even on a busy machine; returns the last count seen.
int wait_for_at_most(int count) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int open = open_count();
  while (open > count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    open = open_count();
  }
  return open;
}

// Every test fills the descriptors first and starts its check server after
// that. The server's threads open and close files of their own while they
// start, and a thread blocked in accept() holds the lowest free number until
// a connection comes; started first, they would leave numbers below 1024 to
// fall free among the filled ones and be taken by a later check connection.

// With every descriptor up to past 1024 taken, the check connection gets a
// number above 1024 and the call still returns the server's verdict.
TEST(ApiDescriptorTest, CallWithDescriptorAbove1024GetsVerdict) {
  descriptor_filler filler;
  if (!filler.ready())
    GTEST_SKIP() << filler.reason();
  ASSERT_GT(descriptor_filler::next_free(), select_limit);

  canned_check_server server;
  client_descriptors client(server);
  server.answer(
      canned_reply{200,
                   {{"VX-X-Mitigation", "challenge"}, {"VX-Set-Cookie", "k=v"}},
                   "<p>page</p>"});
  vornex::api record(server.address());
  record.add_data("POST / HTTP/1.1\r\nHost: a\r\n\r\nbody");
  int code = -1;
  try {
    code = record.execute();
  } catch (const std::exception &e) {
    FAIL() << "check call failed: " << e.what();
  }
  EXPECT_EQ(code, 2);
  EXPECT_EQ(record.get_challenge_page(), "<p>page</p>");
  EXPECT_EQ(record.get_challenge_headers(),
            (vornex::api::challenge_header_map{{"Set-Cookie", "k=v"}}));
  EXPECT_EQ(server.checks(), 1);
  EXPECT_EQ(server.last_body(), "POST / HTTP/1.1\r\nHost: a\r\n\r\nbody");
  const std::vector<int> seen = client.seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_GT(seen[0], select_limit);
}

// Fifty calls in a row from the crowded process all succeed over sockets
// above 1024, and once the server has closed its side they leave no more
// descriptors open than a runtime's stray few: a leak of one per call shows.
TEST(ApiDescriptorTest, RepeatedCallsWithDescriptorsAbove1024DoNotLeak) {
  const int calls = 50;
  descriptor_filler filler;
  if (!filler.ready())
    GTEST_SKIP() << filler.reason();
  ASSERT_GT(descriptor_filler::next_free(), select_limit);

  canned_check_server server;
  client_descriptors client(server);
  server.answer(canned_reply{403, {}, ""});
  vornex::api record(server.address());
  record.add_data("GET / HTTP/1.1\r\n");
  const int before = open_count();
  for (int i = 0; i < calls; ++i) {
    try {
      EXPECT_EQ(record.execute(), 1) << "call " << i;
    } catch (const std::exception &e) {
      FAIL() << "call " << i << " failed: " << e.what();
    }
  }
  EXPECT_EQ(server.checks(), calls);
  const std::vector<int> seen = client.seen();
  ASSERT_EQ(seen.size(), static_cast<size_t>(calls));
  for (int i = 0; i < calls; ++i)
    EXPECT_GT(seen[i], select_limit) << "call " << i;
  const int open = wait_for_at_most(before + stray_allowance);
  EXPECT_LE(open, before + stray_allowance)
      << open << " open after " << calls << " calls, " << before
      << " before them";
}

} // namespace
