#include "support/fixtures.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <numbers>
#include <random>
#include <sstream>
#include <thread>

#include "engine/midi_protocol.h"
#include "library/sample.h"
#include "platform/platform.h"

namespace chantera::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device random;
  path_ = fs::temp_directory_path() /
          ("chantera-test-" + std::to_string(random()) + "-" + std::to_string(counter.fetch_add(1)));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

fs::path TempDir::Write(const std::string& relative, const std::string& bytes) const {
  fs::path file = path_ / relative;
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file;
}

void TempDir::WriteByAnsiName(const std::string& relative, const std::string& bytes) const {
#ifdef _WIN32
  std::string name = relative;
  std::replace(name.begin(), name.end(), '/', '\\');
  fs::create_directories((path_ / relative).parent_path());  // folders with ASCII names
  const platform::File file(std::fopen((path_.string() + "\\" + name).c_str(), "wb"));
  if (file) std::fwrite(bytes.data(), 1, bytes.size(), file.get());
#else
  Write(relative, bytes);
#endif
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();  // a folder or a missing file leaves it empty
  return bytes.str();
}

std::string Le32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

namespace {
std::string Le16(uint16_t v) {
  return Le32(v).substr(0, 2);
}
}  // namespace

std::string MakeWav(const std::string& data, const WavLayout& layout) {
  std::string body = "WAVEfmt ";
  body += Le32(layout.fmtSize);
  const uint16_t blockAlign =
      layout.blockAlign != 0 ? layout.blockAlign : static_cast<uint16_t>(layout.channels * layout.bitsPerSample / 8);
  std::string fmt = Le16(layout.formatTag) + Le16(layout.channels) + Le32(layout.sampleRate) +
                    Le32(layout.sampleRate * blockAlign) + Le16(blockAlign) + Le16(layout.bitsPerSample);
  if (layout.fmtSize >= 18) fmt += Le16(static_cast<uint16_t>(layout.fmtSize - 18));
  if (layout.fmtSize >= 40 && layout.subFormat != 0)  // valid bits, no speaker mask, the standard GUID
    fmt += Le16(layout.bitsPerSample) + Le32(0) + Le16(layout.subFormat) +
           std::string("\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71", 14);
  fmt.resize(layout.fmtSize, '\0');
  body += fmt;
  if (layout.listBeforeData) body += "LIST" + Le32(5) + "INFOx" + std::string(1, '\0');  // padded to even
  body += "data" + Le32(layout.claimedDataSize >= 0 ? static_cast<uint32_t>(layout.claimedDataSize)
                                                    : static_cast<uint32_t>(data.size()));
  body += data;
  if (data.size() % 2 == 1) body.push_back('\0');
  return "RIFF" + Le32(static_cast<uint32_t>(body.size())) + body;
}

std::string Pcm16(const std::vector<int16_t>& values) {
  std::string s;
  s.reserve(values.size() * 2);
  for (int16_t v : values) s += Le16(static_cast<uint16_t>(v));
  return s;
}

void FillSample(Sample& sample, const std::string& bytes, const SampleSpec& layout) {
  std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size() + 1]);
  if (!bytes.empty()) std::memcpy(data.get(), bytes.data(), bytes.size());
  sample.bitsPerSample = layout.bits;
  sample.channels = layout.channels;
  sample.blockAlign = layout.blockAlign;
  sample.sampleRate = layout.sampleRate;
  sample.rootFrequency = layout.root;
  sample.SetData(std::move(data), static_cast<uint32_t>(bytes.size()));
}

std::string PcmBytes(const std::vector<int64_t>& values, int width) {
  std::string s;
  for (int64_t v : values)
    for (int i = 0; i < width; ++i) s.push_back(static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xFF));
  return s;
}

std::string FloatBytes(const std::vector<double>& values, int width) {
  std::string s;
  for (double v : values) {
    const float single = static_cast<float>(v);
    char bytes[8];
    if (width == 4)
      std::memcpy(bytes, &single, 4);
    else
      std::memcpy(bytes, &v, 8);
    s.append(bytes, static_cast<size_t>(width));
  }
  return s;
}

std::vector<int16_t> Sine(size_t frames, double cyclesPerFrame, double amplitude) {
  std::vector<int16_t> v(frames);
  for (size_t i = 0; i < frames; ++i)
    v[i] = static_cast<int16_t>(
        std::lround(amplitude * std::sin(2.0 * std::numbers::pi * cyclesPerFrame * static_cast<double>(i))));
  return v;
}

void WriteVoiceLibrary(const TempDir& dir, const std::vector<std::pair<std::string, VoiceFolder>>& voices) {
  const auto joinCrLf = [](const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& line : lines) s += line + "\r\n";
    return s;
  };
  std::string csv;
  for (const auto& [name, voice] : voices) {
    csv += name + "," + voice.folder + "\r\n";
    dir.Write(voice.folder + "/samples.txt", joinCrLf(voice.sampleLines));
    dir.Write(voice.folder + "/programs.txt", joinCrLf(voice.programLines));
    for (const auto& [file, bytes] : voice.files) dir.Write(voice.folder + "/" + file, bytes);
  }
  dir.Write("voice.csv", csv);
}

void WriteSingleSampleVoice(const TempDir& dir, const std::vector<int16_t>& values, int rootNote) {
  const VoiceFolder voice{"v",
                          {"a.wav,a," + std::to_string(rootNote)},
                          {"Program", "P,1.0,2,a", "S,0,127,a.wav", "End"},
                          {{"a.wav", MakeWav(Pcm16(values))}}};
  WriteVoiceLibrary(dir, {{"Voice", voice}});
}

void WriteTwoToneVoices(const TempDir& dir) {
  std::vector<std::pair<std::string, VoiceFolder>> voices;
  for (int v = 0; v < 2; ++v) {
    VoiceFolder voice;
    voice.folder = std::string("v").append(std::to_string(v));  // g++ 12 warns (-Wrestrict) of "v" + string
    if (v == 1) {
      voice.sampleLines.emplace_back("stray.wav,stray,69");
      voice.files.emplace_back("stray.wav", MakeWav(Pcm16(Sine(44100, kStrayHz / 44100.0))));
    }
    for (int p = 0; p < 2; ++p) {
      const std::string wav = std::string("p").append(std::to_string(p)).append(".wav");
      voice.sampleLines.push_back(wav + "," + wav + ",69");
      voice.programLines.insert(voice.programLines.end(),
                                {"Program", "P,1.0,2,s" + std::to_string(p), "S,0,127," + wav, "End"});
      voice.files.emplace_back(wav, MakeWav(Pcm16(Sine(44100, ToneHz(v, p) / 44100.0))));
    }
    voices.emplace_back("Voice " + std::to_string(v), voice);
  }
  WriteVoiceLibrary(dir, voices);
}

double MeasuredHz(const std::vector<float>& x, double rate) {
  int crossings = 0;
  for (size_t i = x.size() / 2 + 1; i < x.size(); ++i) crossings += (x[i - 1] < 0.0f) != (x[i] < 0.0f) ? 1 : 0;
  return crossings / 2.0 / (static_cast<double>(x.size()) / 2.0 / rate);
}

namespace {
std::mutex messagesMutex;
std::vector<std::string> messageLog;
int CountingSink(const char* text, const char* caption) {
  std::lock_guard<std::mutex> lock(messagesMutex);
  messageLog.push_back(std::string(caption) + ": " + text);
  return 1;
}
}  // namespace

MessageCounter::MessageCounter() {
  std::lock_guard<std::mutex> lock(messagesMutex);
  messageLog.clear();
  platform::SetMessageSink(CountingSink);
}
MessageCounter::~MessageCounter() {
  platform::SetMessageSink(nullptr);
}
std::vector<std::string> MessageCounter::messages() const {
  std::lock_guard<std::mutex> lock(messagesMutex);
  return messageLog;
}

FakeClock::FakeClock() {
  sleepCount = sleepTotal = beepCount = 0;
  platform::SetSleepHook([](uint32_t ms) {
    sleepCount.fetch_add(1);
    sleepTotal.fetch_add(ms);
    now.fetch_add(ms);
  });
  platform::SetTickHook([]() -> uint32_t { return now.load(); });
  platform::SetBeepHook([](uint32_t hz, uint32_t ms) {
    beepCount.fetch_add(1);
    beepHz = hz;
    beepMs = ms;
  });
}

FakeClock::~FakeClock() {
  platform::SetSleepHook(nullptr);
  platform::SetTickHook(nullptr);
  platform::SetBeepHook(nullptr);
}

vst2::VstIntPtr VSTCALLBACK QuietHost(vst2::AEffect*, int32_t opcode, int32_t, vst2::VstIntPtr, void*, float) {
  return opcode == vst2::audioMasterVersion ? 2400 : 0;
}

vst2::VstIntPtr VSTCALLBACK LiveHost(vst2::AEffect*, int32_t opcode, int32_t, vst2::VstIntPtr, void*, float) {
  if (opcode == vst2::audioMasterGetCurrentProcessLevel) return vst2::kVstProcessLevelRealtime;
  return opcode == vst2::audioMasterVersion ? 2400 : 0;
}

std::vector<Midi3> PhoneticNote(int key, std::string_view symbol) {
  const midi::PhoneticNote note = midi::EncodePhoneticNote(key, symbol);
  std::vector<Midi3> m;
  for (size_t i = 0; i < note.count; ++i)
    m.push_back({note.messages[i].status, note.messages[i].data1, note.messages[i].data2});
  return m;
}

EventList& EventList::Add(int32_t frame, uint8_t status, uint8_t data1, uint8_t data2) {
  vst2::VstMidiEvent e{};
  e.type = vst2::kVstMidiType;
  e.byteSize = sizeof e;
  e.deltaFrames = frame;
  e.midiData[0] = static_cast<char>(status);
  e.midiData[1] = static_cast<char>(data1);
  e.midiData[2] = static_cast<char>(data2);
  records_.push_back(e);
  return *this;
}

EventList& EventList::Add(int32_t frame, const std::vector<Midi3>& messages) {
  for (const Midi3& m : messages) Add(frame, m.status, m.data1, m.data2);
  return *this;
}

EventList& EventList::AddSysEx(int32_t frame) {
  Add(frame, 0xF0, 0, 0);
  records_.back().type = vst2::kVstSysExType;
  return *this;
}

vst2::VstEvents* EventList::get() {
  // VstEvents declares two pointers; a real list carries as many as it has events.
  storage_.assign(sizeof(vst2::VstEvents) + records_.size() * sizeof(vst2::VstEvent*), 0);
  auto* list = reinterpret_cast<vst2::VstEvents*>(storage_.data());
  list->numEvents = static_cast<int32_t>(records_.size());
  for (size_t i = 0; i < records_.size(); ++i)
    vst2::EventSlots(list)[i] = reinterpret_cast<vst2::VstEvent*>(&records_[i]);
  return list;
}

bool RenderFinite(vst2::AEffect* effect, int32_t frames, Rendered& out) {
  const size_t n = frames > 0 ? static_cast<size_t>(frames) : 0;
  out.left.assign(std::max<size_t>(n, 1), std::numeric_limits<float>::quiet_NaN());
  out.right.assign(out.left.size(), std::numeric_limits<float>::quiet_NaN());
  float* outputs[2] = {out.left.data(), out.right.data()};
  effect->processReplacing(effect, nullptr, outputs, frames);
  out.peak = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    if (!std::isfinite(out.left[i]) || !std::isfinite(out.right[i])) return false;
    out.peak = std::max({out.peak, std::fabs(out.left[i]), std::fabs(out.right[i])});
  }
  return true;
}

void WriteConsonantVowelVoice(const TempDir& dir) {
  constexpr double kRate = 44100.0;
  const struct {
    const char* name;
    double consonantMs;
  } syllables[] = {{"ka", 40.0}, {"sa", 90.0}, {"ta", 150.0}};
  VoiceFolder voice{
      "cv", {}, {"Program", "P,1.0,2,ka", "S,0,63,ka.wav", "S,64,70,sa.wav", "S,71,127,ta.wav", "End"}, {}};
  std::string oto;
  std::mt19937 noise(7);
  for (const auto& s : syllables) {
    const auto consonant = static_cast<size_t>(s.consonantMs * kRate / 1000.0);
    std::vector<int16_t> v(consonant + static_cast<size_t>(0.7 * kRate));
    for (size_t i = 0; i < consonant; ++i)
      v[i] = static_cast<int16_t>(std::uniform_int_distribution<>(-4000, 4000)(noise));
    for (size_t i = consonant; i < v.size(); ++i)
      v[i] = static_cast<int16_t>(
          std::lround(12000.0 * std::sin(2.0 * std::numbers::pi * 440.0 * static_cast<double>(i - consonant) / kRate)));
    const std::string file = std::string(s.name) + ".wav";
    voice.sampleLines.push_back(file + "," + s.name + ",69");
    voice.files.emplace_back(file, MakeWav(Pcm16(v)));
    oto += file + "=" + s.name + ",0," + std::to_string(s.consonantMs) + ",0," + std::to_string(s.consonantMs) + "," +
           std::to_string(s.consonantMs / 3.0) + "\r\n";
  }
  voice.files.emplace_back("oto.ini", oto);
  WriteVoiceLibrary(dir, {{"CV", voice}});
}

double ToneLevel(const std::vector<float>& x, double hz, int64_t center) {
  constexpr int64_t kHalf = 441;
  double re = 0.0, im = 0.0, weight = 0.0;
  for (int64_t i = center - kHalf; i < center + kHalf; ++i) {
    if (i < 0 || i >= static_cast<int64_t>(x.size())) continue;
    const double w = 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(i - center + kHalf) / kHalf);
    const double phase = 2.0 * std::numbers::pi * hz * static_cast<double>(i) / 44100.0;
    re += w * x[static_cast<size_t>(i)] * std::cos(phase);
    im += w * x[static_cast<size_t>(i)] * std::sin(phase);
    weight += w;
  }
  return 2.0 * std::hypot(re, im) / weight;
}

std::vector<float> PlayMidi(vst2::AEffect* effect, std::vector<std::pair<int64_t, Midi3>> events, int64_t frames) {
  constexpr int64_t kBlock = 512;
  std::stable_sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  const int64_t total = frames / kBlock * kBlock;
  std::vector<float> out(static_cast<size_t>(total));
  std::vector<float> right(kBlock);
  size_t next = 0;
  for (int64_t start = 0; start < total; start += kBlock) {
    EventList list;
    for (; next < events.size() && events[next].first < start + kBlock; ++next)
      list.Add(static_cast<int32_t>(events[next].first - start), {events[next].second});
    list.Send(effect);
    float* outputs[2] = {out.data() + start, right.data()};
    effect->processReplacing(effect, nullptr, outputs, static_cast<int32_t>(kBlock));
  }
  return out;
}

bool WaitUntil(const std::function<bool()>& done, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace chantera::test
