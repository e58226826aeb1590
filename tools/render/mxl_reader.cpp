// Compressed MusicXML (.mxl): the score inside a zip archive, read with libzip.
#include <zip.h>
#include <pugixml.hpp>

#include <memory>
#include <string>

#include "tools/render/musicxml_reader.h"

namespace chantera::render {

namespace {

// Far beyond any score; bounds what a hostile archive (a "zip bomb") can make us hold.
constexpr zip_uint64_t kLargestScore = 256u << 20;

struct ArchiveCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;
struct EntryCloser {
  void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
using Entry = std::unique_ptr<zip_file_t, EntryCloser>;

// The contents of an entry of the archive; false with the error.
bool Extract(zip_t* archive, zip_int64_t index, std::string& out, std::string& error) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &stat) != 0) {
    error = zip_strerror(archive);
    return false;
  }
  const Entry file(zip_fopen_index(archive, static_cast<zip_uint64_t>(index), 0));
  if (file == nullptr) {
    error = std::string(stat.name != nullptr ? stat.name : "an entry") + ": " + zip_strerror(archive);
    return false;
  }
  out.clear();
  char buffer[65536];
  zip_int64_t n = 0;
  while ((n = zip_fread(file.get(), buffer, sizeof buffer)) > 0 && out.size() <= kLargestScore)
    out.append(buffer, static_cast<size_t>(n));
  const bool ok = n == 0 && out.size() <= kLargestScore;
  if (!ok) error = out.size() > kLargestScore ? "the score in it is larger than 256 MB" : zip_file_strerror(file.get());
  return ok;
}

}  // namespace

bool ReadMxl(const std::string& bytes, const std::string& name, const ScoreChoices& choices, Score& score,
             std::string& error) {
  score = Score{};
  zip_error_t failure;
  zip_error_init(&failure);
  zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &failure);
  Archive archive(source != nullptr ? zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &failure) : nullptr);
  if (!archive) {
    if (source != nullptr) zip_source_free(source);
    error = name + ": not a compressed MusicXML file (" + zip_error_strerror(&failure) + ")";
    zip_error_fini(&failure);
    return false;
  }
  zip_error_fini(&failure);

  // The score is the first rootfile that META-INF/container.xml names, or else the one
  // MusicXML file outside META-INF.
  std::string path, entryError, text;
  if (const zip_int64_t container = zip_name_locate(archive.get(), "META-INF/container.xml", 0); container >= 0) {
    if (!Extract(archive.get(), container, text, entryError)) {
      error = name + ": META-INF/container.xml: " + entryError;
      return false;
    }
    pugi::xml_document doc;
    if (doc.load_buffer(text.data(), text.size()))
      path = doc.child("container").child("rootfiles").child("rootfile").attribute("full-path").value();
  }
  const zip_int64_t entries = zip_get_num_entries(archive.get(), 0);
  for (zip_int64_t i = 0; path.empty() && i < entries; ++i) {
    const char* entryName = zip_get_name(archive.get(), static_cast<zip_uint64_t>(i), 0);
    const std::string entry = entryName != nullptr ? entryName : "";
    const auto endsWith = [&](const char* suffix) {
      const std::string s = suffix;
      return entry.size() > s.size() && entry.compare(entry.size() - s.size(), s.size(), s) == 0;
    };
    if (entry.rfind("META-INF/", 0) != 0 && (endsWith(".xml") || endsWith(".musicxml"))) path = entry;
  }
  const zip_int64_t index = path.empty() ? -1 : zip_name_locate(archive.get(), path.c_str(), 0);
  if (index < 0) {
    error = name + ": the archive holds no MusicXML score" + (path.empty() ? "" : " (no " + path + " in it)");
    return false;
  }
  if (!Extract(archive.get(), index, text, entryError)) {
    error = name + ": " + path + ": " + entryError;
    return false;
  }
  return ReadMusicXml(text, name + "/" + path, choices, score, error);
}

}  // namespace chantera::render
