#include "tools/render/midi_file.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace chantera::render {

namespace {

constexpr size_t kMaxEvents = 50'000'000;  // far beyond any song; bounds memory on garbage

class Cursor {
 public:
  Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool AtEnd() const { return pos_ >= size_; }
  size_t pos() const { return pos_; }
  size_t left() const { return size_ - pos_; }
  bool Byte(uint8_t& out) {
    if (pos_ >= size_) return false;
    out = data_[pos_++];
    return true;
  }
  bool Peek(uint8_t& out) const {
    if (pos_ >= size_) return false;
    out = data_[pos_];
    return true;
  }
  bool Skip(size_t n) {
    if (n > left()) return false;
    pos_ += n;
    return true;
  }
  bool Bytes(size_t n, std::string& out) {
    if (n > left()) return false;
    out.assign(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return true;
  }
  bool Be32(uint32_t& out) {
    if (left() < 4) return false;
    out = (uint32_t{data_[pos_]} << 24) | (uint32_t{data_[pos_ + 1]} << 16) | (uint32_t{data_[pos_ + 2]} << 8) |
          data_[pos_ + 3];
    pos_ += 4;
    return true;
  }
  bool Be16(uint16_t& out) {
    if (left() < 2) return false;
    out = static_cast<uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
    pos_ += 2;
    return true;
  }
  // A cursor over the next n bytes (at most what is left), this one left where it is.
  Cursor Ahead(size_t n) const { return Cursor(data_ + pos_, std::min(n, left())); }
  // A variable-length quantity: at most four bytes, seven bits each.
  bool Vlq(uint32_t& out) {
    out = 0;
    for (int i = 0; i < 4; ++i) {
      uint8_t b;
      if (!Byte(b)) return false;
      out = (out << 7) | (b & 0x7Fu);
      if ((b & 0x80u) == 0) return true;
    }
    return false;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

std::string At(size_t offset) {
  char text[48];
  std::snprintf(text, sizeof text, " at byte %zu", offset);
  return text;
}

// The events of one track chunk, each with its absolute tick.
class TrackReader {
 public:
  TrackReader(Cursor& in, uint32_t track, std::string& error)
      : in_(in), track_(track), where_("track " + std::to_string(track + 1)), error_(error) {}

  // Appends the track's events; stops at its end-of-track event or at the end of the chunk.
  bool Read(std::vector<MidiFileEvent>& events) {
    uint64_t tick = 0;
    while (!in_.AtEnd()) {
      start_ = in_.pos();
      uint32_t delta;
      if (!in_.Vlq(delta)) return Fail(": truncated or overlong delta time", start_);
      tick += delta;
      MidiFileEvent event;
      event.tick = tick;
      event.track = track_;
      uint8_t status = 0;
      if (!Status(status)) return false;
      if (status < 0xF0) {
        if (!ChannelMessage(status, event)) return false;
      } else if (status == 0xFF) {
        if (!Meta(event)) return false;
        if (event.status == kMetaEndOfTrack) {  // end of track: whatever follows in the chunk is ignored
          events.push_back(std::move(event));
          return true;
        }
      } else if (status == 0xF0 || status == 0xF7) {
        if (!SysEx(status, event)) return false;
      } else {
        char text[64];
        std::snprintf(text, sizeof text, ": status byte 0x%02X cannot appear in a file", status);
        return Fail(text, start_);
      }
      if (events.size() >= kMaxEvents) {
        error_ = where_ + ": more events than any song holds";
        return false;
      }
      events.push_back(std::move(event));
    }
    return true;  // a track without an end-of-track event still counts
  }

 private:
  bool Fail(const std::string& what, size_t at) {
    error_ = where_ + what + At(at);
    return false;
  }

  // The event's status byte, or the running status a data byte continues.
  bool Status(uint8_t& status) {
    if (!in_.Peek(status)) return Fail(": event missing after its delta time", in_.pos());
    if (status >= 0x80) {
      in_.Skip(1);
      return true;
    }
    if (running_ == 0) return Fail(": data byte without a status (no running status to reuse)", in_.pos());
    status = running_;
    return true;
  }

  bool ChannelMessage(uint8_t status, MidiFileEvent& event) {
    running_ = status;
    event.kind = MidiFileEvent::kChannel;
    event.status = status;
    const int count = DataBytes(status);
    if (!in_.Byte(event.data1) || (count == 2 && !in_.Byte(event.data2)))
      return Fail(": truncated channel message", start_);
    if ((event.data1 | event.data2) & 0x80) return Fail(": status byte where a data byte belongs", start_);
    return true;
  }

  bool Meta(MidiFileEvent& event) {
    running_ = 0;  // meta events cancel running status in practice; a following data byte is an error
    uint8_t type;
    uint32_t length;
    if (!in_.Byte(type) || !in_.Vlq(length) || !in_.Bytes(length, event.bytes))
      return Fail(": truncated meta event", start_);
    event.kind = MidiFileEvent::kMeta;
    event.status = type;
    return true;
  }

  bool SysEx(uint8_t status, MidiFileEvent& event) {
    running_ = 0;
    uint32_t length;
    if (!in_.Vlq(length) || !in_.Bytes(length, event.bytes)) return Fail(": truncated SysEx event", start_);
    event.kind = MidiFileEvent::kSysEx;
    event.status = status;
    return true;
  }

  Cursor& in_;
  uint32_t track_;
  std::string where_;
  std::string& error_;
  uint8_t running_ = 0;
  size_t start_ = 0;  // of the event being read
};

// The header chunk: the format, the time base and how many tracks follow.
bool ReadHeader(Cursor& in, MidiFile& file, uint16_t& tracks, std::string& error) {
  std::string id;
  uint32_t headerLength = 0;
  if (!in.Bytes(4, id) || id != "MThd") {
    error = "not a Standard MIDI File (no MThd header)";
    return false;
  }
  uint16_t fmt = 0, division = 0;
  if (!in.Be32(headerLength) || headerLength < 6 || !in.Be16(fmt) || !in.Be16(tracks) || !in.Be16(division) ||
      !in.Skip(headerLength - 6)) {
    error = "truncated MThd header";
    return false;
  }
  if (fmt > 1) {
    error = "MIDI file format " + std::to_string(fmt) + " is not supported (only formats 0 and 1)";
    return false;
  }
  if (division == 0) {
    error = "time division of 0 ticks per quarter note";
    return false;
  }
  file.format = fmt;
  file.division = division;
  if (division & 0x8000) {
    const int framesPerSecond = -static_cast<int8_t>(division >> 8);
    const int ticksPerFrame = division & 0xFF;
    if (ticksPerFrame == 0 ||
        (framesPerSecond != 24 && framesPerSecond != 25 && framesPerSecond != 29 && framesPerSecond != 30)) {
      error = "invalid SMPTE time division";
      return false;
    }
    file.smpteTicksPerSecond = (framesPerSecond == 29 ? 29.97 : framesPerSecond) * ticksPerFrame;
  } else {
    file.ticksPerQuarter = division;
    file.smpteTicksPerSecond = 0.0;
  }
  return true;
}

// The track chunks (at most tracks of them; other chunks are skipped), their events
// appended to events in the order of the file. The number of tracks read, or -1 with the
// error.
int64_t ReadTracks(Cursor& in, uint16_t tracks, std::vector<MidiFileEvent>& events, std::string& error) {
  uint32_t track = 0;
  std::string id;
  while (!in.AtEnd() && track < tracks) {
    const size_t chunkStart = in.pos();
    uint32_t length;
    if (!in.Bytes(4, id) || !in.Be32(length)) {
      // A few bytes of padding after the last track are common; anything else is not.
      if (in.left() == 0) break;
      error = "truncated chunk header" + At(chunkStart);
      return -1;
    }
    if (length > in.left()) {
      error = "chunk '" + id + "'" + At(chunkStart) + " claims " + std::to_string(length) + " bytes but only " +
              std::to_string(in.left()) + " remain (truncated file)";
      return -1;
    }
    if (id != "MTrk") {
      in.Skip(length);  // unknown chunks are skipped
      continue;
    }
    Cursor chunk = in.Ahead(length);
    std::vector<MidiFileEvent> trackEvents;
    std::string trackError;
    if (!TrackReader(chunk, track, trackError).Read(trackEvents)) {
      error = trackError;
      return -1;
    }
    events.insert(events.end(), std::make_move_iterator(trackEvents.begin()),
                  std::make_move_iterator(trackEvents.end()));
    in.Skip(length);
    ++track;
  }
  return track;
}

// The tempo map of the events (ordered by tick): 120 quarter notes a minute until the
// first tempo event, the last of a tick's tempo events for that tick.
std::vector<TempoChange> TempoMap(const std::vector<MidiFileEvent>& events) {
  std::vector<TempoChange> tempos = {{0, 500000}};
  for (const MidiFileEvent& e : events) {
    if (e.kind != MidiFileEvent::kMeta || e.status != kMetaTempo || e.bytes.size() != 3) continue;
    const auto* b = reinterpret_cast<const uint8_t*>(e.bytes.data());
    const uint32_t tempo = (uint32_t{b[0]} << 16) | (uint32_t{b[1]} << 8) | b[2];
    if (tempo == 0) continue;  // a tempo of zero would stop time
    if (tempos.back().tick == e.tick)
      tempos.back().microsecondsPerQuarter = tempo;
    else
      tempos.push_back({e.tick, tempo});
  }
  return tempos;
}

}  // namespace

bool MidiFile::Parse(const uint8_t* data, size_t size, std::string& error) {
  events.clear();
  tempos.clear();
  Cursor in(data, size);
  uint16_t tracks = 0;
  if (!ReadHeader(in, *this, tracks, error)) return false;
  const int64_t read = ReadTracks(in, tracks, events, error);
  if (read < 0) return false;
  if (read == 0) {
    error = "no MTrk track chunk";
    return false;
  }
  trackCount = static_cast<int>(read);
  std::stable_sort(events.begin(), events.end(),
                   [](const MidiFileEvent& a, const MidiFileEvent& b) { return a.tick < b.tick; });
  tempos = TempoMap(events);
  return true;
}

bool MidiFile::Read(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = path + ": cannot open the file";
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) {
    error = path + ": read error";
    return false;
  }
  std::string why;
  if (!Parse(bytes.data(), bytes.size(), why)) {
    error = path + ": " + why;
    return false;
  }
  return true;
}

double MidiFile::SecondsAt(uint64_t tick) const {
  if (smpteTicksPerSecond > 0.0) return static_cast<double>(tick) / smpteTicksPerSecond;
  double seconds = 0.0;
  for (size_t i = 0; i < tempos.size(); ++i) {
    const uint64_t start = tempos[i].tick;
    if (tick <= start) break;
    const uint64_t end = i + 1 < tempos.size() ? std::min(tick, tempos[i + 1].tick) : tick;
    seconds += static_cast<double>(end - start) * tempos[i].microsecondsPerQuarter / 1e6 / ticksPerQuarter;
  }
  return seconds;
}

}  // namespace chantera::render
