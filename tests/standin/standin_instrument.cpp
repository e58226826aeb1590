// A stand-in VST 2 instrument for the renderer's tests: a plug-in with a latency, as one
// with look-ahead has. Each note sounds as a step of its velocity (velocity / 254 on both
// outputs from its note-on to its note-off), late by the latency it reports in
// initialDelay, so that where a render puts the step shows how the host aligned it. It
// tells every controller it is handed on standard error ("stand-in: controller 85 = 127").
// Its environment says what it is:
//   CHANTERA_STANDIN_LATENCY   the latency in frames (0 when unset; taken as it is, even
//                              negative or huge, as a faulty plug-in would report it)
//   CHANTERA_STANDIN_CHANTERA  set: it takes Chantera's unique ID, and starts with no
//                              latency ("live") where it otherwise starts with its own
// Either way, as Chantera's Timing does, controller 85 switches its latency: 64 and above
// on, below off.
// Thread: one instance at a time per thread, as the renderer uses it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "host/vst2.h"

namespace {

using namespace vst2;

struct StandIn {
  AEffect effect{};
  int32_t latency = 0;  // what it reports while its latency is on
  int64_t position = 0;
  float level = 0.0f;
  struct Change {
    int64_t frame;
    float level;
  };
  std::deque<Change> changes;  // in frame order while the latency holds
  std::vector<VstMidiEvent> pending;
};

StandIn* Of(AEffect* effect) {
  return static_cast<StandIn*>(effect->object);
}

// Handles the events handed over for this block, as plug-ins do in their process call.
void TakeEvents(StandIn& s) {
  for (const VstMidiEvent& e : s.pending) {
    const auto status = static_cast<uint8_t>(e.midiData[0]) & 0xF0;
    const auto data1 = static_cast<uint8_t>(e.midiData[1]), data2 = static_cast<uint8_t>(e.midiData[2]);
    if (status == 0xB0) {
      std::fprintf(stderr, "stand-in: controller %d = %d\n", data1, data2);
      if (data1 == 85) s.effect.initialDelay = data2 >= 64 ? s.latency : 0;
    } else if (status == 0x90 || status == 0x80) {
      const float level = status == 0x90 ? static_cast<float>(data2) / 254.0f : 0.0f;
      s.changes.push_back({s.position + e.deltaFrames + s.effect.initialDelay, level});
    }
  }
  s.pending.clear();
}

void VSTCALLBACK ProcessReplacing(AEffect* effect, float** /*inputs*/, float** outputs, int32_t frames) {
  StandIn& s = *Of(effect);
  TakeEvents(s);
  for (int32_t i = 0; i < frames; ++i, ++s.position) {
    while (!s.changes.empty() && s.changes.front().frame <= s.position) {
      s.level = s.changes.front().level;
      s.changes.pop_front();
    }
    outputs[0][i] = outputs[1][i] = s.level;
  }
}

VstIntPtr VSTCALLBACK Dispatcher(AEffect* effect, int32_t opcode, int32_t /*index*/, VstIntPtr /*value*/, void* ptr,
                                 float /*opt*/) {
  switch (opcode) {
    case effClose:
      delete Of(effect);
      return 1;
    case effProcessEvents: {
      auto* list = static_cast<VstEvents*>(ptr);
      for (int32_t i = 0; list != nullptr && i < list->numEvents; ++i) {
        const VstEvent* e = EventSlots(list)[i];
        if (e->type == kVstMidiType) Of(effect)->pending.push_back(*reinterpret_cast<const VstMidiEvent*>(e));
      }
      return 1;
    }
    case effGetEffectName:
      std::strcpy(static_cast<char*>(ptr), "Stand-in");
      return 1;
    default:
      return 0;
  }
}

void VSTCALLBACK SetParameter(AEffect* /*effect*/, int32_t /*index*/, float /*value*/) {}
float VSTCALLBACK GetParameter(AEffect* /*effect*/, int32_t /*index*/) {
  return 0.0f;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) AEffect* VSTPluginMain(audioMasterCallback /*host*/) {
  auto* s = new StandIn;
  AEffect& e = s->effect;
  e.magic = kEffectMagic;
  e.dispatcher = Dispatcher;
  e.setParameter = SetParameter;
  e.getParameter = GetParameter;
  e.processReplacing = ProcessReplacing;
  e.numPrograms = 1;
  e.numOutputs = 2;
  e.flags = effFlagsCanReplacing | effFlagsIsSynth;
  e.object = s;
  const char* latency = std::getenv("CHANTERA_STANDIN_LATENCY");
  s->latency = latency != nullptr ? static_cast<int32_t>(std::strtol(latency, nullptr, 10)) : 0;
  const bool chantera = std::getenv("CHANTERA_STANDIN_CHANTERA") != nullptr;
  e.uniqueID = chantera ? FourCC('B', 'R', '0', '2') : FourCC('S', 't', 'n', 'd');
  e.initialDelay = chantera ? 0 : s->latency;
  return &e;
}
