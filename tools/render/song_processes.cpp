#include "tools/render/song_processes.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>

namespace chantera::render {

ProcessCalls SystemProcessCalls() {
  std::signal(SIGCHLD, SIG_DFL);
  ProcessCalls calls;
  calls.start = [] { return static_cast<int64_t>(fork()); };
  calls.waitAny = [] {
    ChildEnd end;
    int status = 0;
    pid_t pid = -1;
    while ((pid = waitpid(-1, &status, 0)) < 0 && errno == EINTR) {
    }
    if (pid < 0) {
      end.error = errno;
      return end;
    }
    end.pid = pid;
    if (WIFEXITED(status)) end.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
    return end;
  };
  return calls;
}

BatchOutcome RunInChildProcesses(size_t count, size_t workers, const std::function<bool(size_t)>& run,
                                 const std::function<void(size_t, const std::string&)>& problem,
                                 const ProcessCalls& calls) {
  BatchOutcome outcome;
  std::map<int64_t, size_t> running;  // child → its song
  // Waits for one of the running children. A wait that fails for good (no child left:
  // the system reaped them unseen) ends the wait for all of them: none can be waited for
  // any more, and asking again would only spin.
  const auto waitForOne = [&] {
    const ChildEnd end = calls.waitAny();
    if (end.pid < 0) {
      for (const auto& [pid, song] : running) {
        problem(song, std::string("its process could not be waited for (") + std::strerror(end.error) +
                          "); whether it was rendered is not known");
        ++outcome.failed;
      }
      running.clear();
      return;
    }
    const auto it = running.find(end.pid);
    if (it == running.end()) return;  // not one of ours (a plug-in's own child)
    const size_t song = it->second;
    running.erase(it);
    if (end.signal != 0) {
      problem(song, "the render crashed (" + std::string(strsignal(end.signal)) + ", signal " +
                        std::to_string(end.signal) + "); no file written");
      ++outcome.failed;
    } else if (end.exitCode != 0) {
      ++outcome.failed;  // the song said why itself
    } else {
      ++outcome.succeeded;
    }
  };

  workers = std::max<size_t>(workers, 1);
  for (size_t song = 0; song < count; ++song) {
    while (running.size() >= workers) waitForOne();
    std::fflush(stdout);
    std::fflush(stderr);
    const int64_t child = calls.start();
    if (child < 0) {
      const int why = errno;
      outcome.notStarted = count - song;
      problem(song, "not rendered, nor the " + std::to_string(count - song - 1) +
                        " songs after it: cannot start a process (" + std::strerror(why) + ")");
      break;
    }
    if (child == 0) {
      const bool ok = run(song);
      std::fflush(stdout);
      std::fflush(stderr);
      // Straight out: the instances and the library are the parent's business.
      _exit(ok ? 0 : 1);
    }
    running.emplace(child, song);
  }
  while (!running.empty()) waitForOne();
  return outcome;
}

}  // namespace chantera::render
