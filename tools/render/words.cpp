#include "tools/render/words.h"

#include <cstdarg>
#include <cstdio>

namespace chantera::render {

std::string Plural(int64_t n, const std::string& thing, const std::string& things) {
  return std::to_string(n) + " " + (n == 1 || n == -1 ? thing : things.empty() ? thing + "s" : things);
}

std::string Formatted(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace chantera::render
