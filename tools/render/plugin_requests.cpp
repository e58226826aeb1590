#include "tools/render/plugin_requests.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "library/voice_list.h"
#include "platform/platform.h"
#include "tools/render/words.h"

namespace chantera::render {

namespace {

// Chantera reads voice.csv with a message box when it is missing; here it is only asked.
int Unshown(const char*, const char*) {
  return 1;
}

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string ParameterList(PluginHost& host) {
  std::string list;
  for (int32_t i = 0; i < host.NumParameters(); ++i)
    list += (i > 0 ? ", " : "") + std::to_string(i) + " " + host.ParameterName(i);
  return list;
}

// The index of the parameter --param names: its number, or its name in any letter case;
// -1 when it names none.
int32_t ParameterIndex(PluginHost& host, const std::string& named) {
  char* end = nullptr;
  auto index = static_cast<int32_t>(std::strtol(named.c_str(), &end, 10));
  if (*end == 0 && end != named.c_str()) return index;
  // VST 2 hosts see at most 8 characters of a name ("ReleaseF" of "ReleaseFactor"): a
  // longer name matches those.
  for (int32_t i = 0; i < host.NumParameters(); ++i) {
    const std::string name = Lowered(host.ParameterName(i));
    if (name == Lowered(named) || (name.size() >= 8 && Lowered(named).starts_with(name))) return i;
  }
  return -1;
}

// The --param requests as indices and values into options.params.
bool ResolveParams(PluginHost& host, const std::vector<std::pair<std::string, float>>& params, RenderOptions& options,
                   std::string& error) {
  options.params.clear();
  for (const auto& [named, value] : params) {
    const int32_t index = ParameterIndex(host, named);
    if (index < 0 || index >= host.NumParameters()) {
      error = "--param " + named + ": the plug-in has no such parameter; it has " +
              Plural(host.NumParameters(), "parameter") + ": " + ParameterList(host);
      return false;
    }
    if (!(value >= 0.0f && value <= 1.0f)) {
      error = "--param " + named + "=" + Formatted("%g", static_cast<double>(value)) + ": \"" +
              host.ParameterName(index) + "\" (parameter " + std::to_string(index) +
              ") takes values from 0 to 1, as every VST 2 parameter does";
      return false;
    }
    options.params.emplace_back(index, value);
  }
  return true;
}

// The settings only Chantera has: --chorus, --timing and --quality ask for it.
bool CheckChanteraSettings(PluginHost& host, const RenderOptions& options, std::string& error) {
  if (host.IsChantera()) return true;
  const auto plugin = [&host] { return host.Name().empty() ? std::string("this plug-in") : host.Name(); };
  if (options.chorus) {
    error = "--chorus needs Chantera";
  } else if (options.timing != Timing::kDefault) {
    error = "--timing is Chantera's setting; " + plugin() +
            " has none (the renderer compensates its latency, if it reports one, without it)";
  } else if (options.quality != QualityChoice::kDefault) {
    error = "--quality is Chantera's setting; " + plugin() + " has none";
  } else {
    return true;
  }
  return false;
}

// Chantera's --voice N: one that voice.csv beside the plug-in lists.
bool CheckVoice(const RenderOptions& options, std::string& error) {
  const std::string folder = PluginFolder(options.plugin);
  const std::string listPath = VoiceListPath(folder);
  VoiceList voices;
  const platform::MessageSink previous = platform::SetMessageSink(&Unshown);
  const uint32_t shown = platform::MessagesShown();
  VoiceListReader(listPath).GetVoiceList(voices);
  const bool readable = platform::MessagesShown() == shown;
  platform::SetMessageSink(previous);
  if (readable && options.voice < voices.voiceCount) return true;
  error = "--voice " + std::to_string(options.voice) + ": " + listPath;
  if (!readable) {
    error += " cannot be read; the instrument then has voice 0 only";
    return false;
  }
  error += " lists " + Plural(voices.voiceCount, "voice") + ":";
  for (int32_t v = 0; v < voices.voiceCount; ++v) {
    const std::string name = voices.voiceNames[v];
    error += (v > 0 ? ", " : " ") + std::to_string(v) + " \"" +
             (platform::IsValidUtf8(name) ? name : platform::ShiftJisToUtf8(name)) + '"';
  }
  return false;
}

}  // namespace

std::string PluginFolder(const std::string& plugin) {
  const std::string folder = std::filesystem::path(plugin).parent_path().string();
  return folder.empty() ? "." : folder;
}

bool ResolveRequests(PluginHost& host, const std::vector<std::pair<std::string, float>>& params, RenderOptions& options,
                     std::string& error) {
  if (!ResolveParams(host, params, options, error)) return false;
  if (options.program >= host.NumPrograms()) {
    error = "--program " + std::to_string(options.program) + ": the plug-in has " +
            Plural(host.NumPrograms(), "program") +
            (host.NumPrograms() > 0 ? " (0 to " + std::to_string(host.NumPrograms() - 1) + ")" : std::string());
    return false;
  }
  if (!CheckChanteraSettings(host, options, error)) return false;
  return options.voice <= 0 || !host.IsChantera() || CheckVoice(options, error);
}

}  // namespace chantera::render
