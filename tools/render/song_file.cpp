#include "tools/render/song_file.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "tools/render/score.h"
#include "tools/render/ust_reader.h"

namespace chantera::render {

SongFormat SongFormatOf(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (extension == ".mid" || extension == ".midi" || extension == ".kar" || extension == ".smf")
    return SongFormat::kMidi;
  if (extension == ".ust") return SongFormat::kUst;
  if (extension == ".musicxml" || extension == ".xml") return SongFormat::kMusicXml;
  if (extension == ".mxl") return SongFormat::kMxl;
  return SongFormat::kNone;
}

bool LoadSong(const std::string& path, const ScoreChoices& choices, LyricRule& lyrics, LoadedSong& song,
              std::string& error) {
  song = LoadedSong{};
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open the file";
    return false;
  }
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) {
    error = path + ": read error";
    return false;
  }
  Score score;
  bool isScore = true;
  switch (SongFormatOf(path)) {
    case SongFormat::kUst:
      if (!ReadUst(bytes, path, score, error)) return false;
      break;
    case SongFormat::kMusicXml:
      if (!ReadMusicXml(bytes, path, choices, score, error)) return false;
      break;
    case SongFormat::kMxl:
      if (!ReadMxl(bytes, path, choices, score, error)) return false;
      break;
    default:  // a MIDI file, also under a name the renderer does not know
      song.midi = bytes;
      isScore = false;
  }
  // A MIDI file counts time in deltas of at most 28 bits: a score that lasts longer (in
  // its ticks of 480 per quarter) cannot be written as one.
  constexpr uint64_t kLongestMidi = 0x0FFFFFFF;
  const uint64_t lastTick = std::max(score.notes.empty() ? 0 : score.notes.back().tick + score.notes.back().length,
                                     score.tempos.empty() ? 0 : score.tempos.back().tick);
  if (isScore && lastTick > kLongestMidi) {
    error = path + ": the song is longer than a MIDI file holds (" + std::to_string(kLongestMidi) + " ticks)";
    return false;
  }
  if (isScore) {
    song.midi = ScoreMidi(score, lyrics, score.notices);
    for (const std::string& notice : score.notices) song.notices.push_back(path + ": " + notice);
  }
  std::string why;
  if (!song.file.Parse(reinterpret_cast<const uint8_t*>(song.midi.data()), song.midi.size(), why)) {
    error = path + ": " + why;
    return false;
  }
  return true;
}

}  // namespace chantera::render
