// The timing of a voice's recordings: the voice folder's oto.ini (library/oto_file.h),
// read while its bank loads, and each recording's entry turned into frames of the
// recording (Sample::timing). A voice folder without oto.ini reads nothing more and its
// recordings have no timing: they sound exactly as they always have.
//
// Which entry a recording takes: an UTAU bank lists one file under several aliases, so a
// recording takes the entry for its file whose alias is the recording's alias in
// samples.txt, else the first entry for its file. File names match as the instrument finds
// files (folders by '\' or '/', ASCII letters in either case) and whether samples.txt or
// oto.ini spells them in Shift-JIS or UTF-8; aliases match as text, whatever the encoding.
//
// From milliseconds to frames at the recording's own rate, rounded to the nearest frame. A
// negative offset or preutterance is read as 0; a vowel past the recording's end is put at
// its end; an overlap longer than the preutterance is cut to it. The cutoff only tells the
// voice check where the entry ends (positive: back from the end of the file; negative:
// |cutoff| after the offset; 0: the end): a note plays the recording to its end or its
// loop as always.
//
// Thread: the thread that loads the bank; never the audio thread.
#pragma once

#include <cstdint>
#include <string>

#include "library/load_report.h"
#include "library/oto_file.h"
#include "library/sample.h"
#include "library/voice_list.h"

namespace chantera {

class SampleBank;

// Reads folder + "oto.ini" (folder ends with a separator; the name's letter case is found
// as for every voice file) into oto. False, with oto empty and nothing noted, when there is
// none; else report->otoRead is set. Past its first kLargestOtoBytes the file is not read
// (noted in report).
inline constexpr size_t kLargestOtoBytes = 16u << 20;
bool ReadOtoFile(const std::string& folder, OtoFile& oto, LoadReport* report = nullptr);

// The timing of a recording of frames frames at sampleRate from its entry. faults, when
// given, tells what had to be made safe (see above).
struct TimingFaults {
  bool negative = false;          // offset or preutterance below 0
  bool vowelPastEnd = false;      // offset + preutterance past the recording or its cutoff
  bool overlapPastVowel = false;  // overlap above preutterance
};
SampleTiming TimingOf(const OtoEntry& entry, uint32_t sampleRate, uint32_t frames, TimingFaults* faults = nullptr);

// Gives the bank's slots 0 .. count - 1 their timing from oto (none where oto has no entry
// for the recording), noting in report what the voice check words: lines that gave no
// entry, entries for files the list does not hold, second entries of one alias, and numbers
// made safe (judged only for recordings that loaded). A recording without an entry keeps
// no timing (Sample::timing.known). Called by SampleBank::LoadSampleList once the
// recordings are loaded.
void ApplyTiming(const OtoFile& oto, SampleBank& bank, int32_t count, LoadReport* report = nullptr);

// The longest preutterance that the oto.ini files of the library's voices give (folders of
// list under pluginDir), in seconds of the recordings as recorded, negative values read as
// 0; 0 when no voice has timing. A note that plays a recording faster or slower than its
// root note shortens or lengthens it in proportion. Reads only the oto.ini files: no
// recording is loaded and nothing is shown.
double LargestPreutteranceSeconds(const std::string& pluginDir, const VoiceList& list);

}  // namespace chantera
