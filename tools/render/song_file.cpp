#include "tools/render/song_file.h"

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

bool LoadSong(const std::string& path, const ScoreChoices& choices, LoadedSong& song, std::string& error) {
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
  if (isScore) {
    for (const std::string& notice : score.notices) song.notices.push_back(path + ": " + notice);
    song.midi = ScoreMidi(score, song.notices);
  }
  std::string why;
  if (!song.file.Parse(reinterpret_cast<const uint8_t*>(song.midi.data()), song.midi.size(), why)) {
    error = path + ": " + why;
    return false;
  }
  return true;
}

}  // namespace chantera::render
