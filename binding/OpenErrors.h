// The wording of the media libraries' open and I/O failures, shared by input
// opening, output set-up, packet writing and the media probe.
#pragma once

#include <string>

// The message for library error code ErrorCode (an AVERROR value) about the
// file Name, e.g. "movie.avi: no such file or directory". Name is inserted
// verbatim (a "%" in it stays as it is). Codes without a wording of their own
// give "<Name>: Error while opening file".
std::string FormatOpenError(const std::string& Name, int ErrorCode);
