// What DPF builds for Chantera in the LV2, VST3 and CLAP formats: a stereo instrument
// with MIDI in, its parameters and a state, no user interface of its own (hosts show
// their generic controls). DPF includes this file by this name.
#pragma once

#define DISTRHO_PLUGIN_NAME "Chantera"
#define DISTRHO_PLUGIN_URI "urn:brisol:chantera"
#define DISTRHO_PLUGIN_CLAP_ID "brisol.chantera"

#define DISTRHO_PLUGIN_HAS_UI 0
#define DISTRHO_PLUGIN_IS_RT_SAFE 1
#define DISTRHO_PLUGIN_IS_SYNTH 1
#define DISTRHO_PLUGIN_NUM_INPUTS 0
#define DISTRHO_PLUGIN_NUM_OUTPUTS 2
#define DISTRHO_PLUGIN_WANT_MIDI_INPUT 1
#define DISTRHO_PLUGIN_WANT_MIDI_OUTPUT 0
// The program is a parameter (CLAP in DPF has no programs); the voice is state, and the
// full state lets the plug-in report the voice a bank select chose, not only the host's.
#define DISTRHO_PLUGIN_WANT_PROGRAMS 0
#define DISTRHO_PLUGIN_WANT_STATE 1
#define DISTRHO_PLUGIN_WANT_FULL_STATE 1
#define DISTRHO_PLUGIN_WANT_TIMEPOS 0
// Timing "beat" delays the output by the voice library's longest preutterance; hosts
// compensate the latency they are told.
#define DISTRHO_PLUGIN_WANT_LATENCY 1

#define DISTRHO_PLUGIN_LV2_CATEGORY "lv2:InstrumentPlugin"
#define DISTRHO_PLUGIN_VST3_CATEGORIES "Instrument|Synth|Stereo"
#define DISTRHO_PLUGIN_CLAP_FEATURES "instrument", "synthesizer", "stereo"
