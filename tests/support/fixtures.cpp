#include "support/fixtures.h"

#include <atomic>
#include <cmath>
#include <fstream>
#include <mutex>
#include <numbers>
#include <random>

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
  const fs::path file = path_ / relative;
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file;
}

namespace {
void Put16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8));
}
void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
}  // namespace

std::string MakeWav(const std::string& data, const WavSpec& layout) {
  std::string body = "WAVE";
  body += "fmt ";
  Put32(body, layout.fmtSize);
  const uint16_t blockAlign =
      layout.blockAlign != 0 ? layout.blockAlign : static_cast<uint16_t>(layout.channels * layout.bitsPerSample / 8);
  std::string fmt;
  Put16(fmt, layout.formatTag);
  Put16(fmt, layout.channels);
  Put32(fmt, layout.sampleRate);
  Put32(fmt, layout.sampleRate * blockAlign);
  Put16(fmt, blockAlign);
  Put16(fmt, layout.bitsPerSample);
  if (layout.fmtSize >= 18) Put16(fmt, static_cast<uint16_t>(layout.fmtSize - 18));
  fmt.resize(layout.fmtSize, '\0');
  body += fmt;
  if (layout.listBeforeData) {
    body += "LIST";
    Put32(body, 5);
    body += "INFOx";
    body.push_back('\0');  // pad to an even length
  }
  body += "data";
  Put32(body, layout.claimedDataSize >= 0 ? static_cast<uint32_t>(layout.claimedDataSize)
                                          : static_cast<uint32_t>(data.size()));
  body += data;
  if (data.size() % 2 == 1) body.push_back('\0');
  std::string file = "RIFF";
  Put32(file, static_cast<uint32_t>(body.size()));
  return file + body;
}

std::string Pcm16(const std::vector<int16_t>& values) {
  std::string s;
  s.reserve(values.size() * 2);
  for (int16_t v : values) Put16(s, static_cast<uint16_t>(v));
  return s;
}

std::vector<int16_t> Sine(size_t frames, double cyclesPerFrame, double amplitude) {
  std::vector<int16_t> v(frames);
  for (size_t i = 0; i < frames; ++i)
    v[i] = static_cast<int16_t>(
        std::lround(amplitude * std::sin(2.0 * std::numbers::pi * cyclesPerFrame * static_cast<double>(i))));
  return v;
}

namespace {
std::string JoinCrLf(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& line : lines) s += line + "\r\n";
  return s;
}
}  // namespace

void WriteVoiceLibrary(const TempDir& dir, const std::vector<std::pair<std::string, VoiceFolder>>& voices) {
  std::string csv;
  for (const auto& [name, voice] : voices) {
    csv += name + "," + voice.folder + "\r\n";
    dir.Write(voice.folder + "/samples.txt", JoinCrLf(voice.sampleLines));
    dir.Write(voice.folder + "/programs.txt", JoinCrLf(voice.programLines));
    for (const auto& [file, bytes] : voice.files) dir.Write(voice.folder + "/" + file, bytes);
  }
  dir.Write("voice.csv", csv);
}

void WriteSingleSampleVoice(const TempDir& dir, const std::vector<int16_t>& values, int rootNote) {
  VoiceFolder voice;
  voice.folder = "v";
  voice.sampleLines = {"a.wav,a," + std::to_string(rootNote)};
  voice.programLines = {"Program", "P,1.0,2,a", "S,0,127,a.wav", "End"};
  voice.files = {{"a.wav", MakeWav(Pcm16(values))}};
  WriteVoiceLibrary(dir, {{"Voice", voice}});
}

// ---- Message counter -----------------------------------------------------------------------

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
size_t MessageCounter::count() const {
  std::lock_guard<std::mutex> lock(messagesMutex);
  return messageLog.size();
}
std::vector<std::string> MessageCounter::messages() const {
  std::lock_guard<std::mutex> lock(messagesMutex);
  return messageLog;
}

// ---- Fake clock -----------------------------------------------------------------------------

namespace {
std::atomic<uint32_t> fakeNow{0}, sleepCount{0}, sleepTotal{0}, beepCount{0}, beepHz{0}, beepMs{0};
void FakeSleep(uint32_t ms) {
  sleepCount.fetch_add(1);
  sleepTotal.fetch_add(ms);
  fakeNow.fetch_add(ms);
}
uint32_t FakeTick() {
  return fakeNow.load();
}
void FakeBeep(uint32_t hz, uint32_t ms) {
  beepCount.fetch_add(1);
  beepHz = hz;
  beepMs = ms;
}
}  // namespace

FakeClock::FakeClock() {
  sleepCount = 0;
  sleepTotal = 0;
  beepCount = 0;
  platform::SetSleepHook(FakeSleep);
  platform::SetTickHook(FakeTick);
  platform::SetBeepHook(FakeBeep);
}
FakeClock::~FakeClock() {
  platform::SetSleepHook(nullptr);
  platform::SetTickHook(nullptr);
  platform::SetBeepHook(nullptr);
}
uint32_t FakeClock::sleeps() {
  return sleepCount;
}
uint32_t FakeClock::sleptMs() {
  return sleepTotal;
}
uint32_t FakeClock::beeps() {
  return beepCount;
}
uint32_t FakeClock::lastBeepHz() {
  return beepHz;
}
uint32_t FakeClock::lastBeepMs() {
  return beepMs;
}

}  // namespace chantera::test
