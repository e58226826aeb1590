// The MusicXML reader and its zipped form (.mxl): small scores written here, one rule of
// the format each.
#include <gtest/gtest.h>

#include <zip.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "render_support.h"
#include "support/fixtures.h"
#include "tools/render/musicxml_reader.h"

namespace chantera::test {
namespace {

using namespace chantera::render;

// A note: pitch ("A4", "Bb3", "F#5"; "" for a rest), duration in divisions, then more
// children (voice, tie, lyric, notations) in MusicXML's order.
std::string Note(const std::string& pitch, int duration, const std::string& more = "") {
  std::string head = "<rest/>";
  if (!pitch.empty()) {
    const std::string alter = pitch[1] == 'b' ? "-1" : pitch[1] == '#' ? "1" : "";
    head = std::string("<pitch><step>") + pitch[0] + "</step>" + (alter.empty() ? "" : "<alter>" + alter + "</alter>") +
           "<octave>" + pitch.back() + "</octave></pitch>";
  }
  return "<note>" + head + "<duration>" + std::to_string(duration) + "</duration>" + more + "</note>";
}

std::string Lyric(const std::string& text, int number = 1, const std::string& more = "") {
  return "<lyric number=\"" + std::to_string(number) + "\"><syllabic>single</syllabic><text>" + text + "</text>" +
         more + "</lyric>";
}

// A partwise score of the parts' measures (the first measure of each with 2 divisions).
std::string Partwise(const std::vector<std::vector<std::string>>& parts) {
  std::string list, body;
  for (size_t p = 0; p < parts.size(); ++p) {
    const std::string id = "P" + std::to_string(p + 1);
    list += "<score-part id=\"" + id + "\"><part-name>" + (p == parts.size() - 1 ? "Voice" : "Piano") +
            "</part-name></score-part>";
    body += "<part id=\"" + id + "\">";
    for (size_t m = 0; m < parts[p].size(); ++m)
      body += "<measure number=\"" + std::to_string(m + 1) + "\">" +
              (m == 0 ? "<attributes><divisions>2</divisions></attributes>" : "") + parts[p][m] + "</measure>";
    body += "</part>";
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE score-partwise PUBLIC \"-//Recordare//DTD MusicXML "
         "4.0 Partwise//EN\" \"http://www.musicxml.org/dtds/partwise.dtd\">\n<score-partwise version=\"4.0\">"
         "<part-list>" +
         list + "</part-list>" + body + "</score-partwise>";
}

const std::string kV1 = "<voice>1</voice>";
const std::string kTempo60 =
    "<direction><direction-type><words>Adagio</words></direction-type><sound tempo=\"60\"/></direction>";

TEST(MusicXmlReader, EachRuleOfTheFormat) {
  // Two voices placed with backup and forward; a grace note takes no time.
  const std::string voices =
      Partwise({{kTempo60 + Note("A4", 2, kV1 + Lyric("さ")) + Note("", 2, kV1) +
                     "<backup><duration>4</duration></backup>" + Note("C4", 4, "<voice>2</voice>" + Lyric("か")),
                 "<note><grace/><pitch><step>G</step><octave>4</octave></pitch>" + kV1 + Lyric("x") + "</note>" +
                     Note("B4", 1, kV1 + Lyric("く")) + "<forward><duration>1</duration></forward>" +
                     Note("C5", 2, kV1 + Lyric("ら"))}});
  // Tied notes sing once; of a chord the top note sings (with the lyric of any); the
  // transposition of a part is applied.
  const std::string tiesAndChords = Partwise(
      {{Note("A4", 2, "<tie type=\"start\"/>" + kV1 + Lyric("さ") + "<notations><tied type=\"start\"/></notations>") +
            Note("A4", 2, "<tie type=\"stop\"/>" + kV1),
        Note("C4", 2, kV1 + Lyric("か")) +
            "<note><chord/><pitch><step>G</step><octave>4</octave></pitch>"
            "<duration>2</duration><voice>1</voice></note>" +
            "<attributes><transpose><chromatic>-2</chromatic></transpose></attributes>" +
            Note("C5", 2, kV1 + Lyric("ら"))}});
  // Lyric lines; an extender line, a slur and ー hold the vowel.
  const std::string lines = Partwise(
      {{Note("A4", 2, kV1 + Lyric("さ", 1, "<extend/>") + Lyric("は", 2)) + Note("B4", 2, kV1) +
        Note("C5", 2, kV1 + Lyric("く")) +
        Note("D5", 2, kV1 + "<notations><slur type=\"start\"/></notations>" + Lyric("ら")) +
        Note("E5", 2, kV1 + "<notations><slur type=\"stop\"/></notations>") + Note("F5", 2, kV1 + Lyric("ー"))}});
  // Repeats with first and second endings; the second pass sings line 2 where it has one.
  const std::string repeats = Partwise(
      {{"<barline location=\"left\"><repeat direction=\"forward\"/></barline>" +
            Note("A4", 2, Lyric("あ") + Lyric("い", 2)),
        "<barline location=\"left\"><ending number=\"1\" type=\"start\"/></barline>" + Note("B4", 2, Lyric("か")) +
            "<barline location=\"right\"><ending number=\"1\" type=\"stop\"/><repeat direction=\"backward\"/>"
            "</barline>",
        "<barline location=\"left\"><ending number=\"2\" type=\"start\"/></barline>" + Note("C5", 2, Lyric("さ")) +
            "<barline location=\"right\"><ending number=\"2\" type=\"discontinue\"/></barline>",
        Note("D5", 2, Lyric("た"))}});
  // D.C. al Fine; a metronome mark in a dotted beat unit.
  const std::string daCapo =
      Partwise({{Note("A4", 2, Lyric("あ")),
                 "<direction><direction-type><metronome><beat-unit>quarter</beat-unit><beat-unit-dot/>"
                 "<per-minute>40</per-minute></metronome></direction-type></direction>" +
                     Note("B4", 2, Lyric("い")) + "<sound fine=\"yes\"/>",
                 Note("C5", 2, Lyric("う")) + "<direction><direction-type><words>D.C. al Fine</words></direction-type>"
                                              "<sound dacapo=\"yes\"/></direction>"}});
  // The first part with lyrics sings, with the tempo and loudness the score gives anywhere.
  const std::string parts =
      Partwise({{"<sound tempo=\"90\"/>" + Note("C3", 4)},
                {"<direction><direction-type><dynamics><p/></dynamics></direction-type>"
                 "<sound dynamics=\"50\"/></direction>" +
                 Note("A4", 2, Lyric("あ")) + "<note dynamics=\"100\">" + Note("B4", 2, Lyric("い")).substr(6)}});
  // The same as timewise: measures that hold the parts.
  std::string timewise = parts;
  timewise.replace(timewise.find("<part id=\"P1\">"), std::string::npos,
                   "<measure number=\"1\"><part id=\"P1\"><attributes><divisions>2</divisions></attributes><sound "
                   "tempo=\"90\"/>" +
                       Note("C3", 4) + "</part><part id=\"P2\"><attributes><divisions>2</divisions></attributes>" +
                       Note("A4", 2, Lyric("あ")) + Note("B4", 2, Lyric("い")) + "</part></measure></score-timewise>");
  timewise.replace(timewise.find("score-partwise version"), 14, "score-timewise");

  // A score that declares itself Shift-JIS, as older Japanese exports write it.
  std::string shiftJis = Partwise({{Note("A4", 2, kV1 + Lyric("さ"))}});
  shiftJis.replace(shiftJis.find("UTF-8"), 5, "Shift_JIS");
  shiftJis = platform::Utf8ToShiftJis(shiftJis);

  ExpectRows(
      {
          {shiftJis, "T0=120 0+480:69:さ"},
          {voices, "T0=60 0+480:69:さ 960+240:71:く 1440+480:72:ら"},
          {voices, "T0=60 0+960:60:か", {0, 0, 2}},
          {tiesAndChords, "T0=120 0+960:69:さ 960+480:67:か 1440+480:70:ら"},
          {lines, "T0=120 0+480:69:さ 480+480:71~ 960+480:72:く 1440+480:74:ら 1920+480:76~ 2400+480:77~"},
          {lines, "T0=120 0+480:69:は 480+480:71~ 960+480:72 1440+480:74 1920+480:76~ 2400+480:77", {0, 2, 0}},
          {repeats, "T0=120 0+480:69:あ 480+480:71:か 960+480:69:い 1440+480:72:さ 1920+480:74:た"},
          // After the jump the tempo of the opening returns.
          {daCapo,
           "T0=120 T480=60 T1440=120 T1920=60 0+480:69:あ 480+480:71:い 960+480:72:う 1440+480:69:あ 1920+480:71:い"},
          {parts, "T0=90 0+480:69:あ@45 480+480:71:い@90"},
          {parts, "T0=90 0+960:48", {1, 0, 0}},
          {timewise, "T0=90 0+480:69:あ 480+480:71:い"},
          // What cannot be read says why.
          {"<score-partwise>\n<part>", "song:2: not well-formed XML"},
          {"<html><body/></html>", "song: not a MusicXML score (its root element is <html>"},
          {parts, "song: --part 3: the score has 2 parts", {3, 0, 0}},
          {lines, "song: --verse 4: the lyrics of part 1 (Voice) have lines 1, 2", {0, 4, 0}},
          {voices, "song: --score-voice 3: part 1 (Voice) has notes in voice 1, 2", {0, 0, 3}},
          {Partwise({{Note("", 4, kV1)}}), "song: part 1 (Voice) has no notes to sing"},
      },
      ReadMusicXml);

  // What the reader chose is said: the voice, the chords, the grace notes.
  Score score;
  std::string error;
  ASSERT_TRUE(ReadMusicXml(voices, "song", {}, score, error));
  EXPECT_EQ(score.notices,
            (std::vector<std::string>{"voice 1 of part 1 (Voice) sings; --score-voice chooses another (1, 2)",
                                      "1 grace note is not sung"}));
  EXPECT_EQ(score.notes[0].place, "measure 1, note 1");
  ASSERT_TRUE(ReadMusicXml(tiesAndChords, "song", {}, score, error));
  EXPECT_EQ(score.notices, (std::vector<std::string>{"chords sing their top note (the first in measure 2)"}));
}

// A zip archive of the files, as a notation program writes a .mxl file.
std::string Zip(const TempDir& dir, const std::vector<std::pair<std::string, std::string>>& files) {
  const std::string path = (dir.path() / "score.mxl").string();
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, nullptr);
  for (const auto& [name, bytes] : files)
    zip_file_add(archive, name.c_str(), zip_source_buffer(archive, bytes.data(), bytes.size(), 0), 0);
  zip_close(archive);
  return ReadFile(path);
}

TEST(MusicXmlReader, CompressedScores) {
  TempDir dir;
  const std::string score = Partwise({{Note("A4", 2, Lyric("さ"))}});
  const std::string container =
      "<?xml version=\"1.0\"?><container><rootfiles><rootfile full-path=\"scores/song.xml\" "
      "media-type=\"application/vnd.recordare.musicxml+xml\"/></rootfiles></container>";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Zip(dir, {{"META-INF/container.xml", container}, {"other.xml", "<x/>"}, {"scores/song.xml", score}}),
       "T0=120 0+480:69:さ"},
      {Zip(dir, {{"mimetype", "application/vnd.recordare.musicxml"}, {"song.musicxml", score}}), "T0=120 0+480:69:さ"},
      {Zip(dir, {{"META-INF/container.xml", container}}),
       "song: the archive holds no MusicXML score (no scores/song.xml"},
      {score, "song: not a compressed MusicXML file"},
  };
  for (const auto& [bytes, expected] : cases) {
    Score read;
    std::string error;
    if (ReadMxl(bytes, "song", {}, read, error))
      EXPECT_EQ(Describe(read), expected);
    else
      EXPECT_NE(error.find(expected), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace chantera::test
