// Which audio track of a file to convert: the one in the user's language,
// else the one flagged default, else the one with the most channels, else the
// first. Languages are compared as ISO 639 languages, so "de", "deu" and
// "ger" are one language.
#pragma once

#include <string>
#include <vector>

struct AVFormatContext;

// A language code as one language: the ISO 639-2/T three-letter code of a
// two-letter (639-1), bibliographic (639-2/B) or terminology code, lower case;
// a code it does not know lower case as given; "" for none ("und", "zxx",
// "mis", "mul" and empty codes mean no language).
std::string NormalLanguage(const std::string& Code);
// Whether Code names a language a user may ask for: a two-letter code of
// ISO 639-1 (or a withdrawn one old systems write), or any three-letter code
// (ISO 639-2 and 639-3 know too many to list). "xx" does not.
bool KnownLanguage(const std::string& Code);
// The two-letter code of a language where it has one ("deu" → "de"), else its
// normal code.
std::string ShortLanguage(const std::string& Code);

// The user's languages in order of preference, from the values of LANGUAGE
// (a colon-separated list), then LC_ALL, LC_MESSAGES and LANG (the first that
// is set and not empty). "de_DE.UTF-8@euro" counts as "de"; "C" and "POSIX"
// name no language. Each given as its normal code, without repeats.
std::vector<std::string> UserLanguagesFrom(const char* Language, const char* LcAll, const char* LcMessages,
                                           const char* Lang);
// The same from this process's environment.
std::vector<std::string> UserLanguages();

// One audio track of a file.
struct TAudioTrack {
  int StreamIndex = -1;   // the stream's index in the file
  std::string Language;   // its normal language code ("" when untagged)
  bool Default = false;   // flagged default
  int Channels = 0;
  std::string Layout;     // "5.1", "stereo", "mono", ... ("" when unknown)
};

// The audio tracks of an open file, in stream order.
std::vector<TAudioTrack> AudioTracksOf(const AVFormatContext* Context);

// The position in Tracks of the track to convert: the first in the first of
// Languages that any track has, else the first with the most channels of
// those flagged default (a file may flag several), else the first with the
// most channels, else 0. -1 when there are no tracks.
int ChooseAudioTrack(const std::vector<TAudioTrack>& Tracks, const std::vector<std::string>& Languages);

// The track as the Type column names it: "de 5.1", "stereo" (untagged).
std::string AudioTrackText(const TAudioTrack& Track);
