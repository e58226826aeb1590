// The inputs the renderer sings: Standard MIDI Files, UTAU projects and MusicXML scores,
// told apart by their extension. Every one becomes the MIDI file that sings it, so that
// all take the one rendering path of MIDI files and --write-midi can save what was sung.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/render/lyrics.h"
#include "tools/render/midi_file.h"
#include "tools/render/musicxml_reader.h"

namespace chantera::render {

enum class SongFormat { kMidi, kUst, kMusicXml, kMxl, kNone };

// By extension, in any letter case: .mid .midi .kar .smf, .ust, .musicxml .xml, .mxl.
SongFormat SongFormatOf(const std::filesystem::path& path);

struct LoadedSong {
  std::string midi;                  // the MIDI file image that sings the song (a MIDI input's own bytes)
  MidiFile file;                     // midi, parsed
  std::vector<std::string> notices;  // what the reader tells the user, one line each
};

// Reads a song file. A score's lyrics go through lyrics (each note's lyric with its place);
// a MIDI file's are left to the MIDI path, which applies the same rule. On failure returns
// false with the message, which names the file.
bool LoadSong(const std::string& path, const ScoreChoices& choices, LyricRule& lyrics, LoadedSong& song,
              std::string& error);

}  // namespace chantera::render
