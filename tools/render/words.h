// Small helpers for the tools' messages, which every tool words the same way.
#pragma once

#include <cstdint>
#include <string>

namespace chantera::render {

// "1 song", "2 songs"; things for a plural that is not thing + "s".
std::string Plural(int64_t n, const std::string& thing, const std::string& things = {});

// printf into a string (at most 1023 bytes).
std::string Formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace chantera::render
