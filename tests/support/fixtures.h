// Test fixtures written by the tests themselves: temporary folders, WAV files of chosen
// formats, and voice libraries (voice.csv, samples.txt, programs.txt) as a user would
// write them on Windows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace chantera::test {

// A fresh folder under the system's temporary directory, removed with its contents on
// destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // Writes bytes to a file relative to the folder (creating sub-folders).
  std::filesystem::path Write(const std::string& relative, const std::string& bytes) const;

 private:
  std::filesystem::path path_;
};

struct WavSpec {
  uint16_t formatTag = 1;
  uint16_t channels = 1;
  uint32_t sampleRate = 44100;
  uint16_t bitsPerSample = 16;
  uint16_t blockAlign = 0;       // 0: channels × bits / 8
  uint32_t fmtSize = 16;         // 16 plain, 18, or 40 (extensible)
  bool listBeforeData = false;   // a LIST chunk between "fmt " and "data"
  int64_t claimedDataSize = -1;  // -1: the real size; otherwise the size written in the header
};

// A RIFF/WAVE file image holding data (already in the file's layout).
std::string MakeWav(const std::string& data, const WavSpec& layout = {});
// 16-bit little-endian bytes of values.
std::string Pcm16(const std::vector<int16_t>& values);
// A ramp or a sine as 16-bit values.
std::vector<int16_t> Sine(size_t frames, double cyclesPerFrame, double amplitude = 16000.0);

// A voice folder: its samples.txt and programs.txt lines (joined with CR LF) and WAV files.
struct VoiceFolder {
  std::string folder;
  std::vector<std::string> sampleLines;
  std::vector<std::string> programLines;
  std::vector<std::pair<std::string, std::string>> files;  // name, bytes
};

// Writes voice.csv (one line per voice: display name, comma, folder, CR LF) and each
// voice folder into dir.
void WriteVoiceLibrary(const TempDir& dir, const std::vector<std::pair<std::string, VoiceFolder>>& voices);

// A one-voice library: one sample "a.wav" (the given values, root note rootNote) mapped
// to every key of program 0.
void WriteSingleSampleVoice(const TempDir& dir, const std::vector<int16_t>& values, int rootNote = 69);

// Counts the messages the instrument shows while it lives (replaces the message sink).
class MessageCounter {
 public:
  MessageCounter();
  ~MessageCounter();
  MessageCounter(const MessageCounter&) = delete;
  MessageCounter& operator=(const MessageCounter&) = delete;
  size_t count() const;
  // Each message as "<caption>: <text>" (bytes as given, not converted).
  std::vector<std::string> messages() const;
};

// Makes sleeps, the clock and beeps instant and counted while it lives.
class FakeClock {
 public:
  FakeClock();
  ~FakeClock();
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;
  static uint32_t sleeps();
  static uint32_t sleptMs();
  static uint32_t beeps();
  static uint32_t lastBeepHz();
  static uint32_t lastBeepMs();
};

}  // namespace chantera::test
