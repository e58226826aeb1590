// TEMPORARY placeholders until the component lands; delete this file when it does.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include "library/sample.h"
#include "library/sample_bank.h"
#include "library/voice_list.h"
#include "library/program_file.h"
#include "library/chorus_builder.h"
#include "library/loader.h"
#include "library/wave_reader.h"
#include "engine/note_slots.h"
#include "engine/phoneme_table.h"
namespace chantera {
namespace { std::atomic<int32_t> liveBanks{0}; }
void Sample::SetData(std::unique_ptr<uint8_t[]> data, uint32_t size) noexcept { pcm = std::move(data); dataSize = size; UpdateLayout(); }
void Sample::UpdateLayout() noexcept { readableFrames = 0; }
bool Sample::LoadFromWav(const char*) { return false; }
SampleBank::~SampleBank() {}
void SampleBank::AllocateSamples() { for (auto& s : samples) s.reset(new Sample); sampleCount = 0; }
void SampleBank::FreeSamples() { for (auto& s : samples) s.reset(); }
int32_t SampleBank::LoadSampleList(const char*, const char*) { sampleCount = 0; return 0; }
int32_t SampleBank::FindSample(const char*) const { return -1; }
int32_t SampleBank::LiveCount() noexcept { return liveBanks.load(); }
void BuildVoiceListPath(const char* dir, char* out) { std::snprintf(out, 260, "%s/voice.csv", dir); }
VoiceListReader::VoiceListReader(const char* p) { std::strncpy(path, p, 259); }
void VoiceListReader::GetVoiceList(VoiceList& list) { list.voiceCount = 1; std::strcpy(list.voiceFolders[0], "Undef"); }
int32_t LoadProgramFile(const char*, const char*, ProgramSet&, const SampleBank&) { return 0; }
}
