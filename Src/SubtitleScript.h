// The text subtitles burned into a film, as the ASS script that the
// libraries' subtitles filter reads: the cues of a subtitle file, or of a
// film's text track read over the stretch that is converted only (a film's
// track is spread over the whole file, and the filter would read all of it
// before the first picture). A cue of plain text too long for the picture at
// the normal size is written smaller, and cut short where even that is not
// enough, so that every line stays inside the picture.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TSubtitleScript {
public:
  TSubtitleScript() = default;
  ~TSubtitleScript();  // removes the file Write made
  TSubtitleScript(const TSubtitleScript&) = delete;
  TSubtitleScript& operator=(const TSubtitleScript&) = delete;

  // Reads the cues of the Number-th subtitle stream (counted among the
  // file's subtitle streams from 0) of the file Path that show between FromUs
  // and ToUs (the file's own times; ToUs INT64_MAX: to its end), its text in
  // Charset (as iconv names it; "": UTF-8 as it is). "" when read, else the
  // reason in words. The script shows them ShiftUs later (the pictures'
  // clock).
  std::string Read(const std::string& Path, int Number, const std::string& Charset, int64_t FromUs, int64_t ToUs,
                   int64_t ShiftUs);

  // Whether the cues keep a style of their own (ASS, SSA); else they are plain
  // text on the libraries' default stage of 384 x 288.
  bool OwnStyle() const { return FOwnStyle; }
  size_t Cues() const { return FEvents.size(); }

  // How plain text is laid out: the picture in pixels and the font size in
  // stage lines (288 to the picture's height). MaxLines: the lines a cue may
  // take at that size; a longer cue gets the size at which it fits in as
  // much height, down to MinScale of the size, and is cut short (ending in
  // "...") beyond that.
  struct TLayout {
    int Width = 0, Height = 0;
    double FontSize = 0;
    int MaxLines = 4;
    double MinScale = 0.4;
  };
  // Writes the script to a file of its own (removed with this object):
  // its path, or "" with the reason in Error.
  std::string Write(const TLayout& Layout, std::string& Error);

  // The size (in stage lines) and the text a cue of plain text gets: Text
  // itself at Layout.FontSize when it fits (see TLayout).
  static std::pair<double, std::string> Fit(const std::string& Text, const TLayout& Layout);

private:
  struct TEvent {
    int64_t StartMs, EndMs;
    std::string Head;  // Layer,Style,Name,MarginL,MarginR,MarginV,Effect (the fields before the text)
    std::string Text;
  };
  std::string FHeader;           // the script's header (its [Events] Format line included)
  std::vector<TEvent> FEvents;   // in the order read
  bool FOwnStyle = false;
  std::string FPath;             // the written file; "" before Write
};

// The character set, as iconv names it, that a subtitle file's Text is
// written in when the libraries cannot take it as it is: "" for valid UTF-8
// (with or without its byte order mark) and for UTF-16 with its mark; else
// the legacy character set of the locale Locale ("de_DE.UTF-8",
// "ru_RU.KOI8-R"; see LegacyCharacterSet), which old subtitle files of the
// user's language are written in.
std::string SubtitleCharacterSet(std::string_view Text, std::string_view Locale);

// The legacy (8-bit or double-byte) character set of a locale: the one it
// names when that is not UTF-8, else the one its language had on Windows
// (CP1251 for Russian, CP1250 for Polish, ...), else Windows-1252.
std::string LegacyCharacterSet(std::string_view Locale);

// The locale that names this process's characters: the first of LC_ALL,
// LC_CTYPE and LANG that is set and not empty.
std::string CharacterLocale();

// Whether the subtitle file Path can be burned in: "" when it holds at least
// one subtitle the libraries can read, else the reason in words ("the file is
// empty", ...). Charset: the character set to read its text in
// (SubtitleCharacterSet, for the user's locale).
std::string SubtitleFileProblem(const std::string& Path, std::string& Charset);
