// The UTAU import's steps (see import.h), private to import.cpp, import_bank.cpp and
// import_write.cpp: one Importer per import holds what its steps share, and each step is
// one method. A step that returns false has set the outcome's error; nothing is written
// before WriteVoice.
// Thread: offline only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "library/voice_list.h"
#include "tools/common/syllables.h"
#include "tools/voice/import.h"
#include "tools/voice/recording.h"
#include "tools/voice/utau.h"

namespace chantera::voice {

inline constexpr uint64_t kLargestText = 16u << 20;  // bytes of an oto.ini, prefix.map or .frq
// The bank a voice folder was imported from, so that importing it again replaces that
// voice and never another one that happens to share its folder name.
inline constexpr const char* kSourceFile = "imported-from.txt";

// One pitch of the bank: the aliases of its recordings carry prefix and suffix (from
// prefix.map), or they come from the oto.ini of one folder.
struct Pitch {
  std::string prefix, suffix;
  std::string folder;  // relative folder of its oto.ini, when pitches are folders
  bool byFolder = false;
  std::string label;  // how the summary names it
};

struct Entry {
  OtoEntry oto;
  std::string folder;  // relative to the bank ("" for its top), '/' separated
  std::string shown;   // "BANK/sub/oto.ini:LINE"
};

// The bank's folder name, also when the path ends in a separator.
std::string BankName(const std::filesystem::path& bank);

class Importer {
 public:
  explicit Importer(const ImportOptions& options);
  Importer(const Importer&) = delete;
  Importer& operator=(const Importer&) = delete;

  // The whole import, step by step (import.cpp).
  ImportOutcome Run();

 private:
  // Reading the bank (import_bank.cpp).
  bool FindOtoFiles();    // oto.ini in the bank and its subfolders, nearest first
  void ReadOtoFiles();    // their entries; what cannot be read is skipped
  void ReadSingerName();  // --name, character.txt or the bank's folder
  void ReadPitches();     // prefix.map's pitches, else one per oto.ini folder
  void PitchesFromPrefixMap(std::vector<PrefixMapEntry> prefixMap);
  void PitchesFromFolders();
  // The entry that names kana in pitch, in the plain or a word-initial form; null if none.
  const Entry* FindEntry(const Pitch& pitch, const std::string& kana) const;
  bool MakeRecordings();  // each syllable in each pitch
  void AddRecording(const tools::ProgramSyllable& s, size_t pitch, const Entry& entry);
  void StandInForMissing();  // what syllables without a recording of their own sing
  void ReportRootNotes();

  // Writing the voice (import_write.cpp).
  bool ChooseVoiceFolder();  // the folder and voice.csv entry: new, or the earlier import's
  bool WriteVoice();         // the voice folder under its temporary name
  std::string ProgramText() const;
  bool PutInPlace();  // the folder into place, then voice.csv
  void ReportWritten();

  const ImportOptions& options_;
  ImportOutcome outcome_;
  std::string& report_;  // outcome_.report
  const std::filesystem::path bank_;
  const std::string bankShown_;
  const std::vector<tools::ProgramSyllable> syllables_;

  std::vector<std::filesystem::path> otoFiles_;
  std::vector<Entry> entries_;
  std::set<std::string> otoFolders_;
  std::vector<std::string> skipped_;  // one line each: what was left out and why
  std::string name_;
  std::vector<Pitch> pitches_;
  std::vector<int> pitchOfKey_;                         // the pitch prefix.map gives each key, or -1
  std::map<std::string, std::vector<size_t>> byAlias_;  // entries by their alias
  std::vector<Recording> recordings_;
  std::vector<std::vector<size_t>> ofProgram_;  // the recordings of each program
  std::map<std::string, int> fileNames_;        // recordings named so far, by file name stem
  std::vector<int> source_;                     // the program whose recordings each program sings, or -1

  // The plug-in folder.
  std::filesystem::path listPath_;  // voice.csv
  std::string listBytes_;
  VoiceList list_;
  std::string folder_;      // of the voice in the plug-in folder
  std::string sourceLine_;  // imported-from.txt: the bank's canonical path
  int index_ = -1;          // in voice.csv; list_.voiceCount for a new voice
  std::filesystem::path staging_, target_;
  uint64_t written_ = 0;  // bytes of the recordings
  int loops_ = 0;         // recordings looped over their vowel
};

}  // namespace chantera::voice
