// Which subtitles to burn into a file's pictures: a subtitle file beside it
// with its name (NAME.srt, .ass, .ssa, .vtt, or NAME.LANG.srt and the like),
// else an embedded track flagged forced, else, when asked, the embedded track
// in the user's language; text tracks and, where the libraries decode them,
// tracks of pictures (DVD, PGS, DVB).
#pragma once

#include <string>
#include <vector>

struct AVFormatContext;

// The subtitle file beside Video: NAME.LANG.EXT in the first of Languages
// (normal codes, AudioTracks.h) that has one, else NAME.EXT (.srt before .ass,
// .ssa and .vtt), else the first NAME.LANG.EXT by name. Extensions in any
// case. Empty when there is none.
std::string SubtitleFileBeside(const std::string& Video, const std::vector<std::string>& Languages);

// The embedded subtitle track to burn in, counted among the file's subtitle
// streams from 0: the first flagged forced; else, with ByLanguage, the first
// in the first of Languages that any track has; -1 when none. Tracks of
// pictures count when the libraries have their decoder.
int SubtitleTrackToBurn(const AVFormatContext* Context, const std::vector<std::string>& Languages, bool ByLanguage);

