// chantera-voice import-utau (see import.h); each recording is made in recording.cpp.
//
// Each syllable of the phoneme table (programs 0..102) takes the recording whose alias is
// its kana (or the word-initial "- か" form) in each pitch of the bank. The recording is
// cut from its offset to its cutoff with short fades, tuned to the nearest note (from its
// .frq file, else measured), levelled, and given a sustain loop over its vowel; the voice's
// oto.ini keeps each recording's timing, moved into the cut. A bank with several pitches
// (prefix.map, or one oto.ini per subfolder) gives each syllable one recording per pitch
// and splits the keys between them.
//
// Nothing is half-written: the voice folder is written under a temporary name and moved
// into place (the voice it replaces is deleted only then), and voice.csv is replaced in
// one rename once the folder is there; each text file is on the disk before it is renamed.
//
// The steps are the Importer's (importer.h): reading the bank in import_bank.cpp, writing
// the voice in import_write.cpp.
#include "tools/voice/import.h"

#include "tools/voice/check.h"
#include "tools/voice/importer.h"

namespace chantera::voice {

namespace fs = std::filesystem;

std::string BankName(const fs::path& bank) {
  fs::path p = fs::absolute(bank).lexically_normal();
  if (!p.has_filename()) p = p.parent_path();
  return p.filename().string();
}

Importer::Importer(const ImportOptions& options)
    : options_(options),
      report_(outcome_.report),
      bank_(options.bank),
      bankShown_(bank_.string()),
      syllables_(tools::ProgramSyllables()) {}

ImportOutcome Importer::Run() {
  if (!FindOtoFiles()) return outcome_;
  ReadOtoFiles();
  ReadSingerName();
  ReadPitches();
  if (!MakeRecordings()) return outcome_;
  StandInForMissing();
  ReportRootNotes();
  if (!ChooseVoiceFolder() || !WriteVoice() || !PutInPlace()) return outcome_;
  ReportWritten();
  const CheckResult check = CheckLibrary(target_);
  report_ += check.ExitStatus() == 0 ? std::string("check: clean\n") : "check:\n" + FormatText(check);
  outcome_.ok = true;
  outcome_.folder = folder_;
  outcome_.voiceIndex = index_;
  return outcome_;
}

ImportOutcome ImportUtau(const ImportOptions& options) {
  return Importer(options).Run();
}

}  // namespace chantera::voice
