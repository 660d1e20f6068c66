// The wording of the media libraries' open and I/O failures, shared by input
// opening, output set-up, packet writing and the media probe.
#pragma once

#include <cerrno>
#include <string>

// The code for "an image-sequence file name without a number pattern": the
// libraries no longer have a code of their own for it, so it keeps the errno
// value it always had (EDOM, as AVERROR(EDOM)).
constexpr int VIDLOMAT_ERROR_IMAGE_NUMBER = -EDOM;

// The message for library error code ErrorCode (an AVERROR value) about the
// file Name, e.g. "movie.avi: no such file or directory". Name is inserted
// verbatim (a "%" in it stays as it is). Codes without a wording of their own
// give "<Name>: Error while opening file".
std::string FormatOpenError(const std::string& Name, int ErrorCode);
