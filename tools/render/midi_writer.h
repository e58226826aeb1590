// Writing a Standard MIDI File of format 0: events with absolute ticks, kept in the order
// they were added within a tick.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chantera::render {

class MidiWriter {
 public:
  void Channel(uint64_t tick, uint8_t status, uint8_t data1, uint8_t data2);
  void Controller(uint64_t tick, uint8_t channel, uint8_t controller, uint8_t value);
  void Meta(uint64_t tick, uint8_t type, const std::string& payload);
  void Tempo(uint64_t tick, uint32_t microsecondsPerQuarter);
  // The file image, with an end-of-track event after the last event.
  std::string Finish(uint16_t division) const;

 private:
  struct Event {
    uint64_t tick;
    size_t order;
    std::string bytes;  // without the delta time
  };
  std::vector<Event> events_;
};

}  // namespace chantera::render
