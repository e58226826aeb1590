// What the command line asks of the plug-in, checked once it is loaded: the parameters by
// number or name, the program, and Chantera's own settings and voices.
// Thread: the renderer's main thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/render/plugin_host.h"
#include "tools/render/render_song.h"

namespace chantera::render {

// Checks what the command line asks of the plug-in, once it is loaded, and resolves the
// --param names (params: a number or a name, any letter case, and the value) into
// options.params: each parameter is one the plug-in has and its value lies within 0 to 1;
// the program is one of its programs; Chantera's voice is one that voice.csv beside it
// lists; --chorus and --timing ask for Chantera. False with what is wrong, in the user's terms.
bool ResolveRequests(PluginHost& host, const std::vector<std::pair<std::string, float>>& params, RenderOptions& options,
                     std::string& error);

// The folder Chantera reads its voices from: the plug-in file's own.
std::string PluginFolder(const std::string& plugin);

}  // namespace chantera::render
