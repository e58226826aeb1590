#include "tools/render/midi_writer.h"

#include <algorithm>

#include "tools/render/midi_file.h"

namespace chantera::render {

namespace {
void PutVlq(std::string& out, uint64_t value) {
  value &= 0x0FFFFFFF;  // four bytes of seven bits: the largest a file can hold
  char bytes[4];
  int n = 0;
  do {
    bytes[n++] = static_cast<char>(value & 0x7F);
    value >>= 7;
  } while (value != 0 && n < 4);
  while (n > 1) out.push_back(static_cast<char>(bytes[--n] | 0x80));
  out.push_back(bytes[0]);
}
void PutBe(std::string& out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
}  // namespace

void MidiWriter::Channel(uint64_t tick, uint8_t status, uint8_t data1, uint8_t data2) {
  std::string bytes{static_cast<char>(status), static_cast<char>(data1 & 0x7F)};
  if (DataBytes(status) == 2) bytes.push_back(static_cast<char>(data2 & 0x7F));
  events_.push_back({tick, events_.size(), bytes});
}

void MidiWriter::Controller(uint64_t tick, uint8_t channel, uint8_t controller, uint8_t value) {
  Channel(tick, static_cast<uint8_t>(midi::kControlChange | (channel & 0x0F)), controller, value);
}

void MidiWriter::Meta(uint64_t tick, uint8_t type, const std::string& payload) {
  std::string bytes{'\xFF', static_cast<char>(type)};
  PutVlq(bytes, payload.size());
  bytes += payload;
  events_.push_back({tick, events_.size(), bytes});
}

void MidiWriter::Tempo(uint64_t tick, uint32_t microsecondsPerQuarter) {
  std::string payload;
  PutBe(payload, microsecondsPerQuarter, 3);
  Meta(tick, kMetaTempo, payload);
}

std::string MidiWriter::Finish(uint16_t division) const {
  std::vector<Event> sorted = events_;
  std::stable_sort(sorted.begin(), sorted.end(), [](const Event& a, const Event& b) { return a.tick < b.tick; });
  std::string track;
  uint64_t last = 0;
  for (const Event& e : sorted) {
    PutVlq(track, e.tick - last);
    last = e.tick;
    track += e.bytes;
  }
  track += std::string("\x00\xFF\x2F\x00", 4);
  std::string file = "MThd";
  PutBe(file, 6, 4);
  PutBe(file, 0, 2);  // format 0
  PutBe(file, 1, 2);
  PutBe(file, division, 2);
  file += "MTrk";
  PutBe(file, static_cast<uint32_t>(track.size()), 4);
  return file + track;
}

}  // namespace chantera::render
