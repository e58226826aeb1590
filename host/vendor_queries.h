// Chantera's own questions for hosts, asked through effVendorSpecific with index
// kChanteraQuery and the question in value. Other plug-ins answer 0 to all of them, so a
// host may ask any plug-in. The renderer (tools/render/plugin_host) is the host that asks.
#pragma once

#include <cstdint>

#include "host/vst2.h"

namespace chantera {

inline constexpr int32_t kChanteraQuery = vst2::FourCC('C', 'h', 'n', 't');

// Answers 1 while a voice is still loading or the Chorus rebuild still runs (either
// changes the sound), 0 when both are done. An offline host waits for 0 before it plays the song.
inline constexpr int32_t kChanteraLoaderBusy = 1;

// Answers how many messages this instance has shown since it was created ("Wave file
// load failed.", "GetVoiceListでエラー", "<path> Program file load failed."): each is a
// voice file it could not read. Counted per instance, whichever thread loaded the voice:
// a host compares the count before and after what it asked of the instance.
inline constexpr int32_t kChanteraMessagesShown = 2;

// ptr is a ChanteraMessageSink, or null. From now on this instance's messages go to that
// function (on the thread that loads the voice: the host's own calling thread when it
// renders offline) instead of a message box or standard error, and are still counted;
// null shows them again. For a host that words them for its user, as a batch renderer
// does once per voice rather than once per song. Answers 1.
// The instance also asks this of its host, through audioMasterVendorSpecific with the
// same index and value and ptr pointing at a ChanteraMessageSink, when it is created and
// before it reads voice 0: a host that writes its sink there and answers kChanteraQuery
// has every message of the instance from the first.
inline constexpr int32_t kChanteraMessagesToHost = 3;
using ChanteraMessageSink = int (*)(const char* text, const char* caption);

}  // namespace chantera
