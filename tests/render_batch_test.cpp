// Batches: the songs' threads and processes, whatever the system does, and chantera-render
// rendering several songs at once as it renders each alone, and never leaving a file that
// looks whole when a song fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "render_support.h"
#include "tools/render/song_processes.h"
#include "tools/render/song_threads.h"

namespace chantera::test {
namespace {

using namespace chantera::render;

// fork and wait played from a script, for a batch of five songs two at a time: fork
// fails at one song; each child ends as its song's row says; the system reports a child
// that is not the batch's first, or loses every child after some waits (ECHILD). A wait
// with no child running would block for ever, and a wait repeated without end is a spin:
// both throw.
struct ScriptedProcesses {
  int failForkAt = -1;
  std::map<size_t, ChildEnd> ends{};  // by song; exit status 0 when not listed
  bool strangerFirst = false;
  int lostAfter = -1;  // waits answered before every wait fails with ECHILD

  std::deque<std::pair<int64_t, size_t>> running{};  // child, song; oldest first
  int started = 0, waits = 0;
  ProcessCalls Calls() {
    return {[this]() -> int64_t {
              if (started == failForkAt) {
                errno = EAGAIN;
                return -1;
              }
              running.emplace_back(1000 + started, size_t(started));
              ++started;
              return 1000 + started - 1;
            },
            [this] {
              if (++waits > 50) throw std::runtime_error("the wait spins");
              if (running.empty()) throw std::runtime_error("a wait with no child running never returns");
              if (strangerFirst && waits == 1) return ChildEnd{.pid = 7};
              if (lostAfter >= 0 && waits > lostAfter) return ChildEnd{.error = ECHILD};
              ChildEnd end = ends.contains(running.front().second) ? ends[running.front().second] : ChildEnd{};
              end.pid = running.front().first;
              running.pop_front();
              return end;
            }};
  }
};

// Songs finish on the calling thread in song order, whichever thread ends first: the
// first song is held until the last one has run.
TEST(SongThreads, EachSongIsFinishedInOrderOnTheCallingThread) {
  std::mutex mutex;
  std::condition_variable othersRan;
  std::vector<size_t> ran, finished;
  const std::thread::id caller = std::this_thread::get_id();
  RunOnThreads(
      4, 3,
      [&](size_t song) {
        std::unique_lock<std::mutex> lock(mutex);
        // Song 0 runs last of all (waiting for every other, not only for song 3: a thread
        // that took song 2 may still be on its way here when song 3 is done).
        if (song == 0) othersRan.wait(lock, [&] { return ran.size() == 3; });
        ran.push_back(song);
        othersRan.notify_all();
      },
      [&](size_t song) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        finished.push_back(song);
      });
  EXPECT_EQ(ran.back(), 0u);
  EXPECT_EQ(finished, (std::vector<size_t>{0, 1, 2, 3}));
}

// Every child started is waited for; no wait spins; a crash, a lost child and a fork that
// fails name their song. The last row forks for real, from a process that ignores SIGCHLD
// (whose children the system would reap unseen).
TEST(SongProcesses, EveryChildIsWaitedForAndEachFaultNamesItsSong) {
  struct Row {
    const char* what;
    ScriptedProcesses script;
    BatchOutcome expected;
    std::vector<std::pair<size_t, std::string>> problems;  // song, what its text says
  };
  const std::vector<Row> rows = {
      {"all rendered", {}, {5, 0, 0}, {}},
      {"a song fails, another crashes",
       {.ends = {{1, ChildEnd{.exitCode = 1}}, {3, ChildEnd{.signal = SIGSEGV}}}},
       {3, 2, 0},
       {{3, "the render crashed (Segmentation fault, signal 11)"}}},
      {"fork fails", {.failForkAt = 3}, {3, 0, 2}, {{3, "nor the 1 songs after it: cannot start a process"}}},
      {"a child of someone else", {.strangerFirst = true}, {5, 0, 0}, {}},
      {"children lost",
       {.lostAfter = 1},
       {1, 4, 0},
       {{1, "could not be waited for (No child processes)"},
        {2, "could not be waited for"},
        {3, "could not be waited for"},
        {4, "could not be waited for"}}},
  };
  for (Row row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::pair<size_t, std::string>> problems;
    BatchOutcome outcome;
    EXPECT_NO_THROW(outcome = RunInChildProcesses(
                        5, 2, [](size_t) { return true; },
                        [&](size_t song, const std::string& text) { problems.emplace_back(song, text); },
                        row.script.Calls()));
    EXPECT_EQ(std::tuple(outcome.succeeded, outcome.failed, outcome.notStarted),
              std::tuple(row.expected.succeeded, row.expected.failed, row.expected.notStarted));
    EXPECT_TRUE(row.script.running.empty() || row.script.lostAfter >= 0) << "children left unwaited for";
    ASSERT_EQ(problems.size(), row.problems.size());
    for (size_t i = 0; i < problems.size(); ++i) {
      EXPECT_EQ(problems[i].first, row.problems[i].first);
      EXPECT_NE(problems[i].second.find(row.problems[i].second), std::string::npos) << problems[i].second;
    }
  }

  const auto previous = std::signal(SIGCHLD, SIG_IGN);
  const BatchOutcome real = RunInChildProcesses(
      3, 2, [](size_t song) { return song != 1; }, [](size_t, const std::string&) {});
  std::signal(SIGCHLD, previous);
  EXPECT_EQ(std::tuple(real.succeeded, real.failed, real.notStarted), std::tuple(2u, 1u, 0u));
}

// Songs rendered several at once (on threads of one process) match renders one at a
// time, also with the phonetic protocol, whose spelling state each instance keeps; they
// are told in song order; shares split the songs without overlap.
TEST_F(Renderer, ManySongsAtOnceMatchOneAtATime) {
  std::filesystem::create_directories(dir.path() / "songs" / "more");
  const std::vector<std::pair<std::string, std::string>> songs = {
      {"songs/a.mid", "tempo 120\nA4 1 a\nE5 0.5 a\n"},
      {"songs/more/b.mid", "tempo 90\nmode phonetic\nC5 1 a\nr 0.5\nA4 1 a\n"},
      {"songs/c.mid", "tempo 200\nmode phonetic\nA5 0.5 a\nE5 0.5 a\nA5 2 a\n"}};
  for (const auto& [name, source] : songs) Song(name, source);
  const std::string songsDir = (dir.path() / "songs").string();
  Render(songsDir, "all", "--tail 0.5 --jobs 2");
  const size_t a = printed.find("a.wav: "), c = printed.find("c.wav: "), b = printed.find("b.wav: ");
  EXPECT_TRUE(a < c && c < b && b != std::string::npos) << printed;
  for (const char* share : {"1/2", "2/2"})
    Render(songsDir, std::string("share") + share[0], "--tail 0.5 --shard " + std::string(share));
  for (const auto& [name, source] : songs) {
    const std::filesystem::path wav = std::filesystem::path(name.substr(6)).replace_extension(".wav");
    const std::string alone = Render((dir.path() / name).string(), "alone.wav", "--tail 0.5");
    EXPECT_EQ(ReadFile(dir.path() / "all" / wav), alone) << name;
    // Sorted, the songs are a, c and more/b: the first of two shares takes the first and third.
    const bool first = name != "songs/c.mid";
    EXPECT_EQ(ReadFile(dir.path() / (first ? "share1" : "share2") / wav), alone) << name;
    EXPECT_FALSE(std::filesystem::exists(dir.path() / (first ? "share2" : "share1") / wav)) << name;
  }
}

// A song that is not written whole leaves no file that looks whole, and the file an
// earlier render left keeps its bytes: a render that the file-size limit kills (as a
// crash or an interruption ends it), one whose writes fail (as on a full disk), and the
// songs of a batch that pass the limit, each named while the batch goes on. Without a
// limit the batch writes every file and leaves nothing partial.
TEST_F(Renderer, AFailedSongLeavesNoFileThatLooksWhole) {
  const std::string song = Song("songs/a.mid", "tempo 60\nA4 2 a\nE5 2 a\n");
  Song("songs/more/b.mid", "tempo 60\nA4 3 a\n");
  const std::string songs = (dir.path() / "songs").string();
  const auto out = [this](const char* name) { return " -o " + (dir.path() / name).string(); };
  const std::string options = " --plugin " + plugin + " -q --tail 0";
  const char* limited = "ulimit -f 64;";  // blocks of 512 bytes; a song takes several hundred kB
  struct Row {
    std::string before, arguments;
    const char* file;
    int status;
    const char* says;
  };
  const std::vector<Row> rows = {
      {limited, song + out("a.wav") + options, "a.wav", -1, ""},
      {std::string(limited) + " trap '' XFSZ;", song + out("a.wav") + options, "a.wav", 1, "writing the audio failed"},
      {limited, songs + out("batch") + options, "batch/a.wav", 1, "batch/a.wav: writing the audio failed"},
      {limited, songs + out("batch") + options, "batch/more/b.wav", 1, "batch/more/b.wav: writing the audio failed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.before + row.arguments);
    dir.Write(row.file, "an earlier render");
    const RunResult run = Run(row.arguments, row.before);
    EXPECT_EQ(run.status, row.status) << run.output;
    EXPECT_NE(run.output.find(row.says), std::string::npos) << run.output;
    EXPECT_EQ(ReadFile(dir.path() / row.file), "an earlier render");
    if (row.status == 1 && row.file == std::string("a.wav")) {
      EXPECT_FALSE(std::filesystem::exists(dir.path() / "a.wav.partial"));
    }
  }
  const RunResult whole = Run(songs + out("batch") + options);
  EXPECT_EQ(whole.status, 0) << whole.output;
  EXPECT_EQ(ReadFile(dir.path() / "batch/more/b.wav").substr(0, 4), "RIFF");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path() / "batch"))
    EXPECT_NE(entry.path().extension(), ".partial") << entry.path();
}

}  // namespace
}  // namespace chantera::test
