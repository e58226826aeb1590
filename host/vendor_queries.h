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

// Answers how many messages the plug-in has shown since its library was loaded ("Wave
// file load failed.", "GetVoiceListでエラー", "<path> Program file load failed."): each is
// a voice file that could not be read. Counted for the library as a whole, as the
// messages are shown: a host that runs several instances compares the count before and
// after what it asked of one.
inline constexpr int32_t kChanteraMessagesShown = 2;

// ptr is a ChanteraMessageSink, or null. From now on the library's messages go to that
// function (on the thread that loads the voice) instead of a message box or standard
// error, and are still counted; null shows them again. For a host that words them for
// its user, as a batch renderer does once per voice rather than once per song. Answers 1.
inline constexpr int32_t kChanteraMessagesToHost = 3;
using ChanteraMessageSink = int (*)(const char* text, const char* caption);

}  // namespace chantera
