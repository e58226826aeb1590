// chantera-voice: tools for voice makers.
//
//   chantera-voice check [PLUGIN_FOLDER | VOICE_FOLDER] [--json]
//   chantera-voice import-utau BANK -o PLUGIN_FOLDER [--name NAME]
//   chantera-voice loop FILE.wav FIRST LAST
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/voice/check.h"
#include "tools/voice/import.h"
#include "tools/voice/loop.h"

namespace {

const char* kUsage =
    "usage: chantera-voice check [PLUGIN_FOLDER | VOICE_FOLDER] [--json]\n"
    "       chantera-voice import-utau BANK -o PLUGIN_FOLDER [--name NAME]\n"
    "       chantera-voice loop FILE.wav FIRST LAST\n"
    "\n"
    "check        reads voice.csv and every voice it lists (or one voice folder) the way the\n"
    "             plug-in does and reports each problem as file:line (of a kind found many\n"
    "             times, the first few and a count); exit status 0 clean, 1 warnings\n"
    "             only, 2 errors (3: wrong arguments). Default folder: the plug-in\n"
    "             folder of this build.\n"
    "  --json     every finding as JSON (valid UTF-8)\n"
    "import-utau  turns an UTAU CV voicebank into a Chantera voice in PLUGIN_FOLDER and adds\n"
    "             it to voice.csv (created when missing), or replaces the voice that an\n"
    "             earlier import of the same bank made, and says which; exit status 1\n"
    "             when it refuses\n"
    "  -o PATH    the plug-in folder\n"
    "  --name N   the voice's display name (default: character.txt, else the bank's folder)\n"
    "loop         sets the sustain loop of a WAV file (frames FIRST to LAST, the last one\n"
    "             played), keeping its audio as it is; exit status 1 when it refuses\n"
    "-h, --help   this text (also after a command)\n";

std::filesystem::path DefaultPluginFolder() {
  const std::filesystem::path here = chantera::platform::ModuleDirectory();
  for (const auto& candidate : {here / "Chantera", here / ".." / "lib" / "chantera"})
    if (std::filesystem::exists(candidate / "voice.csv")) return candidate;
  return here / "Chantera";
}

// Exit status 3: the check's 0, 1 and 2 say what it found, not how it was called.
int Usage(const std::string& problem) {
  std::fprintf(stderr, "chantera-voice: %s\n\n%s", problem.c_str(), kUsage);
  return 3;
}

int Check(const std::vector<std::string>& args) {
  bool json = false;
  std::string folder;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      json = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (folder.empty()) {
      folder = arg;
    } else {
      return Usage("check takes one folder");
    }
  }
  const chantera::voice::CheckResult result =
      chantera::voice::CheckLibrary(folder.empty() ? DefaultPluginFolder() : std::filesystem::path(folder));
  const std::string text = json ? chantera::voice::FormatJson(result) : chantera::voice::FormatText(result);
  std::fputs(text.c_str(), stdout);
  return result.ExitStatus();
}

int Import(const std::vector<std::string>& args) {
  chantera::voice::ImportOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if ((arg == "-o" || arg == "--output") && hasValue) {
      options.pluginDir = args[++i];
    } else if (arg == "--name" && hasValue) {
      options.name = args[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage(hasValue || (arg != "-o" && arg != "--name") ? "unknown option " + arg : arg + " needs a value");
    } else if (options.bank.empty()) {
      options.bank = arg;
    } else {
      return Usage("import-utau takes one voicebank");
    }
  }
  if (options.bank.empty()) return Usage("no voicebank folder");
  if (options.pluginDir.empty()) return Usage("no plug-in folder (-o PLUGIN_FOLDER)");
  const chantera::voice::ImportOutcome outcome = chantera::voice::ImportUtau(options);
  std::fputs(outcome.report.c_str(), stdout);
  if (!outcome.ok) {
    std::fprintf(stderr, "chantera-voice: %s\nnothing was written\n", outcome.error.c_str());
    return 1;
  }
  return 0;
}

int Loop(const std::vector<std::string>& args) {
  if (args.size() != 3) return Usage("loop takes a WAV file and two frame numbers");
  uint32_t frames[2] = {0, 0};
  for (size_t i = 0; i < 2; ++i) {
    const std::string& text = args[i + 1];
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), frames[i]);
    if (error != std::errc() || end != text.data() + text.size()) return Usage("not a frame number: " + text);
  }
  std::string done, error;
  const bool ok = chantera::voice::SetSustainLoop(args[0], frames[0], frames[1], done, error);
  std::fprintf(ok ? stdout : stderr, "%s\n", (ok ? done : error).c_str());
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no command");
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  // Help asked for anywhere, of the program or of a command: usage on standard output.
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "-h" || std::string(argv[i]) == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  if (command == "check") return Check(args);
  if (command == "import-utau") return Import(args);
  if (command == "loop") return Loop(args);
  return Usage("unknown command " + command);
}
