// Synthesises the demo voice into a plug-in folder, so that Chantera sings without any
// download: voice.csv and the folder "demo" with its sample list, program file and
// recordings. The build runs it after building the plug-in.
//
//   make_demo_voice <plug-in folder>
//
// The output depends on nothing but this program: the same bytes on every run.
#include <chrono>
#include <cstdio>
#include <exception>

#include "tools/demo_voice/voice.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <plug-in folder>\n", argv[0]);
    return 2;
  }
  try {
    const auto start = std::chrono::steady_clock::now();
    const chantera::demo::DemoSummary summary = chantera::demo::GenerateDemoVoice(argv[1]);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("demo voice: %zu recordings, %.1f MB in %s/%s (%.1f s)\n", summary.recordings,
                double(summary.bytes) / 1e6, argv[1], chantera::demo::kDemoFolder, took.count());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_demo_voice: %s\n", e.what());
    return 1;
  }
}
