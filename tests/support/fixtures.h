// The test kit every suite and fuzz target shares (so no GoogleTest here): temporary
// folders, WAV files and voice libraries, the host side (callback, VstEvents lists, phonetic
// sequence, render probe), and hooks that make messages, sleeps and the clock observable.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/vst2.h"

namespace chantera {
class Sample;
}  // namespace chantera

namespace chantera::test {

// A fresh folder under the system's temporary directory, removed with its contents.
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
  // The same, the name's bytes taken as the instrument takes them: on Windows in the ANSI
  // code page, through the C library (std::filesystem would read them in another one).
  void WriteByAnsiName(const std::string& relative, const std::string& bytes) const;

 private:
  std::filesystem::path path_;
};

struct WavLayout {
  uint16_t formatTag = 1;
  uint16_t channels = 1;
  uint32_t sampleRate = 44100;
  uint16_t bitsPerSample = 16;
  uint16_t blockAlign = 0;       // 0: channels × bits / 8
  uint32_t fmtSize = 16;         // 16 plain, 18, or 40 (extensible)
  uint16_t subFormat = 1;        // fmtSize 40: the tag its sub-format GUID stands for; 0: a GUID of zeros
  bool listBeforeData = false;   // a LIST chunk between "fmt " and "data"
  int64_t claimedDataSize = -1;  // -1: the real size; otherwise the size written in the header
};

// The whole of a file ("" when it cannot be read).
std::string ReadFile(const std::filesystem::path& path);
// 32-bit little-endian bytes of v, as RIFF sizes and fields are stored.
std::string Le32(uint32_t v);

// A RIFF/WAVE file image holding data (already in the file's layout).
std::string MakeWav(const std::string& data, const WavLayout& layout = {});
// 16-bit little-endian bytes of values.
std::string Pcm16(const std::vector<int16_t>& values);
// Little-endian integers of width bytes each (24- or 32-bit data), and IEEE floats of
// width 4 or 8 bytes each.
std::string PcmBytes(const std::vector<int64_t>& values, int width);
std::string FloatBytes(const std::vector<double>& values, int width);
// The layout of a sample's data as a test fills them in (FillSample).
struct SampleSpec {
  uint32_t bits = 16;
  uint32_t channels = 1;
  uint32_t blockAlign = 2;
  uint32_t sampleRate = 44100;
  double root = 440.0;
};
// Gives sample the data bytes (already in its layout) and the layout's fields.
void FillSample(Sample& sample, const std::string& bytes, const SampleSpec& layout);
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

// Two voices of two programs whose recordings each sound a tone of their own (ToneHz), all
// rooted at key 69 and 44.1 kHz, so the pitch heard tells which one sang. Voice 1 lists
// first one more recording (kStrayHz), which no program plays: a key map left over from
// voice 0 plays the wrong recording there.
void WriteTwoToneVoices(const TempDir& dir);
inline double ToneHz(int voice, int program) {
  return 440.0 + 110.0 * (2 * voice + program);
}
inline const double kStrayHz = ToneHz(2, 0);
// Frequency from the zero crossings of the second half of x (about 11 Hz steps at 44.1 kHz
// over eight 512-frame blocks; the tones lie 110 Hz apart).
double MeasuredHz(const std::vector<float>& x, double rate = 44100.0);

// Counts the messages the instrument shows while it lives (replaces the message sink).
class MessageCounter {
 public:
  MessageCounter();
  ~MessageCounter();
  MessageCounter(const MessageCounter&) = delete;
  MessageCounter& operator=(const MessageCounter&) = delete;
  size_t count() const { return messages().size(); }
  // Each message as "<caption>: <text>" (bytes as given, not converted).
  std::vector<std::string> messages() const;
};

// Makes sleeps, the clock and beeps instant and counted while it lives. Its clock runs
// from where the last one stopped, far from the real tick count: a thread that times
// itself (a Chorus run) must end before it goes, or it measures across the jump.
class FakeClock {
 public:
  FakeClock();
  ~FakeClock();
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;
  static uint32_t sleeps() { return sleepCount; }
  static uint32_t sleptMs() { return sleepTotal; }
  static uint32_t beeps() { return beepCount; }
  static uint32_t lastBeepHz() { return beepHz; }
  static uint32_t lastBeepMs() { return beepMs; }
  static inline std::atomic<uint32_t> now{0}, sleepCount{0}, sleepTotal{0}, beepCount{0}, beepHz{0}, beepMs{0};
};

// A host that answers only audioMasterVersion (2400), as most hosts in tests need. It does
// not say whether it plays live, so the plug-in switches voices at once, at their frames.
vst2::VstIntPtr VSTCALLBACK QuietHost(vst2::AEffect* effect, int32_t opcode, int32_t index, vst2::VstIntPtr value,
                                      void* ptr, float opt);
// A host playing live: it also answers the process level, real time (2), so the plug-in
// loads voices in the background.
vst2::VstIntPtr VSTCALLBACK LiveHost(vst2::AEffect* effect, int32_t opcode, int32_t index, vst2::VstIntPtr value,
                                     void* ptr, float opt);

struct Midi3 {
  uint8_t status, data1, data2;
};

// The controller messages that spell symbol (its first three characters) on key and sing
// it: 99 = 80, 98 = 2, 6 = key, 98 = 19.. with 6 = each character, 98 = 127, 6 = 127.
std::vector<Midi3> PhoneticNote(int key, std::string_view symbol);

// A voice "CV" (folder cv) of three syllables whose recordings are a consonant of noise
// (ka 40 ms, sa 90 ms, ta 150 ms) and then a vowel of 440 Hz for 0.7 s, all rooted at key
// 69 and 44.1 kHz, with an oto.ini saying where each vowel starts (overlap a third of
// it). Its one program maps keys below 64 to ka, up to 70 to sa, above to ta.
void WriteConsonantVowelVoice(const TempDir& dir);
// The level of a tone of hz (full scale 1.0) around frame center of x at 44.1 kHz: a
// Hann-windowed Goertzel over 20 ms.
double ToneLevel(const std::vector<float>& x, double hz, int64_t center);

// A VstEvents record with its pointers, as a host hands one to effProcessEvents.
class EventList {
 public:
  EventList& Add(int32_t frame, uint8_t status, uint8_t data1, uint8_t data2);
  EventList& Add(int32_t frame, const std::vector<Midi3>& messages);
  EventList& AddSysEx(int32_t frame);  // an event that is not MIDI
  size_t size() const { return records_.size(); }
  // The list; valid until the next Add.
  vst2::VstEvents* get();
  void Send(vst2::AEffect* effect) { effect->dispatcher(effect, vst2::effProcessEvents, 0, 0, get(), 0.0f); }

 private:
  std::vector<vst2::VstMidiEvent> records_;
  std::vector<unsigned char> storage_;
};

// Output of one processReplacing call.
struct Rendered {
  std::vector<float> left, right;
  float peak = 0.0f;  // the largest magnitude of either channel
};
// Renders frames into buffers full of NaN, like stale host memory: true when every frame
// asked for was written with a finite value.
bool RenderFinite(vst2::AEffect* effect, int32_t frames, Rendered& out);

// MIDI messages at their frames (stably sorted), played into a VST 2 instrument in blocks
// of 512 as a host would; the left channel of frames frames (rounded down to blocks).
std::vector<float> PlayMidi(vst2::AEffect* effect, std::vector<std::pair<int64_t, Midi3>> events, int64_t frames);

// Waits in real time (other threads are at work) until done() holds; false after seconds.
bool WaitUntil(const std::function<bool()>& done, double seconds = 5.0);

}  // namespace chantera::test
