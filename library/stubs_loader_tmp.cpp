// TEMPORARY placeholders until the component lands; delete this file when it does.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include "library/sample.h"
#include "library/sample_bank.h"
#include "library/voice_list.h"
#include "library/program_file.h"
#include "library/chorus_builder.h"
#include "library/loader.h"
#include "library/wave_reader.h"
#include "engine/note_slots.h"
#include "engine/phoneme_table.h"
namespace chantera {
void RebuildSample(Sample&) {}
void StartLoader(const std::shared_ptr<SampleBank>&, bool) {}
void LoaderThread(SampleBank&) {}
}
