// The batch renderer's processes: each song of a batch is rendered in a child process of
// its own, a few at once, forked from the process that keeps the plug-in loaded. Whatever
// the children do (fail, crash) and whatever the system does (refuse a fork, lose a
// child's status), every child started is waited for, the wait never spins, and each
// song that did not end well is named.
// Thread: the program's main thread (it forks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace chantera::render {

// How a child process ended, or why there was none to wait for.
struct ChildEnd {
  int64_t pid = -1;  // the child; -1 when the wait failed (error then says why)
  int error = 0;     // errno of a failed wait (ECHILD: no child left to wait for)
  int exitCode = 0;  // the child's exit status, when it exited
  int signal = 0;    // the signal that ended it, when one did
};

// The two system calls of a batch, replaceable so that tests can make them fail without
// real processes.
struct ProcessCalls {
  std::function<int64_t()> start;     // fork(): 0 in the child, its id in the parent, -1 with errno
  std::function<ChildEnd()> waitAny;  // waits until any child ends (interruptions retried)
};
// fork and waitpid. Also makes SIGCHLD's disposition the default again: a process started
// with SIGCHLD ignored has its children reaped unseen, and their statuses are lost.
ProcessCalls SystemProcessCalls();

struct BatchOutcome {
  size_t succeeded = 0;   // songs whose process exited with status 0
  size_t failed = 0;      // exited otherwise, crashed, or ended unseen
  size_t notStarted = 0;  // left over when a process could not be started
};

// Runs run(i) for each song i < count, each in a child process of its own (which exits
// with status 0 when run returns true), at most workers at once. A song that fails says
// why itself; problem(i, text) tells of each song whose process crashed or could not be
// waited for, and of the first song that could not be started (the rest of the batch is
// then left out and the children running are waited for).
BatchOutcome RunInChildProcesses(size_t count, size_t workers, const std::function<bool(size_t)>& run,
                                 const std::function<void(size_t, const std::string&)>& problem,
                                 const ProcessCalls& calls = SystemProcessCalls());

}  // namespace chantera::render
