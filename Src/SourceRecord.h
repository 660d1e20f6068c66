// What an output written by this program records of its source: the source's
// file name, size and modification time, and the settings that shaped the
// output, in one metadata tag of the output. A batch that finds the record it
// would write in an output of the same name knows the file was converted
// already, with these settings.
#pragma once

#include <string>

// The output's metadata tag that holds the record.
extern const char* const kSourceRecordTag;  // "description"

// The record of the local file Path as the tag's text: "Converted by Vidlomat
// from clip.avi (1234 bytes, modified 1561234567.123456789) as <Shape>". The
// name is the file's name without its folder (control bytes and "%" as
// "%XX"). Without Shape the text ends after the bracket (what outputs written
// before the settings were recorded hold). Empty when Path is not a regular
// file that can be read.
std::string SourceRecordOf(const std::string& Path, const std::string& Shape = {});

// The record tag of the media file Path; empty when it has none or cannot be
// opened. Needs the media libraries.
std::string RecordedSourceOf(const std::string& Path);
