// Which process made an object: a worker's pool of connections and its call
// watch are inherited by the processes it forks, whose copies must leave the
// parent's threads, locks and sockets alone. Asked on every check, so the
// answer costs no system call: a handler that runs in the child of every fork
// counts the forks.
#ifndef VORNEX_PROCESS_TAG_H
#define VORNEX_PROCESS_TAG_H

#include <sys/types.h>

namespace vornex {

class process_tag {
public:
  // Tags the calling process.
  process_tag();

  // True in the process that made the tag; false in a process forked from
  // it, and in the processes forked from that one.
  bool current() const;

private:
  unsigned long forks;
  // Compared instead when the fork handler could not be registered.
  pid_t pid;
};

} // namespace vornex

#endif
