// Which subtitles to burn into a file's pictures: a subtitle file beside it
// with its name (NAME.srt, .ass, .ssa, .vtt, or NAME.LANG.srt and the like),
// else an embedded text track flagged forced, else, when asked, the embedded
// text track in the user's language.
#pragma once

#include <string>
#include <vector>

struct AVFormatContext;

// The subtitle file beside Video: NAME.LANG.EXT in the first of Languages
// (normal codes, AudioTracks.h) that has one, else NAME.EXT (.srt before .ass,
// .ssa and .vtt), else the first NAME.LANG.EXT by name. Extensions in any
// case. Empty when there is none.
std::string SubtitleFileBeside(const std::string& Video, const std::vector<std::string>& Languages);

// The embedded text subtitle track to burn in, counted among the file's
// subtitle streams from 0: the first flagged forced; else, with ByLanguage,
// the first in the first of Languages that any text track has; -1 when none.
// Picture subtitles (DVD, PGS) are not taken.
int SubtitleTrackToBurn(const AVFormatContext* Context, const std::vector<std::string>& Languages, bool ByLanguage);
