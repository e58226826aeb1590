// chantera-render's batches: several files or a folder of songs rendered into an output
// folder, a few at once, each song on a fresh instance of its own (on threads of this
// process for Chantera, in processes forked from this one for other plug-ins), so that
// every file is the one a render of that song alone gives.
// Thread: the program's main thread.
#pragma once

#include <string>
#include <vector>

#include "tools/render/audio_file.h"
#include "tools/render/command_line.h"
#include "tools/render/render_run.h"

namespace chantera::render {

// One song of a batch and the file it writes.
struct Job {
  std::string input, output;
};

// A name that a folder is not given: an audio, MIDI or score file's.
bool LooksLikeAFile(const std::string& path);

// The songs of the inputs into jobs, in a fixed order (the inputs as given, a folder's
// song files sorted by their path inside it), each with its file in the output folder: its
// name, or its path inside the folder it was found in, with the audio format's extension.
// Tells of each folder without songs. False with the status and the error when a folder
// cannot be read, there are no songs, or two songs would write one file.
bool CollectSongs(const CommandLine& line, AudioFormat format, std::vector<Job>& jobs, RunStatus& error);

// The jobs of share shard of shards: by position in the fixed order (every N-th song), so
// that the shares are even whatever the songs' names, and the same on every machine that
// sees the same files.
std::vector<Job> ShareOf(const std::vector<Job>& all, int shard, int shards);

// Renders the songs of this shard, --jobs at once. Its status is 1 when a song failed (the
// others are still rendered).
RunStatus RenderMany(CommandLine& line, SongTeller& teller);

}  // namespace chantera::render
