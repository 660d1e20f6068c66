// Small media helpers the program carries itself: rational arithmetic, clipping,
// packet release, PSNR, token splitting and file sizes.
#pragma once

#include <cstdint>
#include <string>

#include "MediaHeaders.h"

double q2d(AVRational Q);
// Sign of A - B, with 64-bit products.
int cmp_q(AVRational A, AVRational B);
// A - B, reduced with terms not above INT32_MAX (needs libavutil loaded).
AVRational sub_q(AVRational A, AVRational B);
// The rational nearest to D with terms not above Max (needs libavutil loaded);
// NaN gives 0/0, a value beyond 32-bit terms gives 1/0 or -1/0.
AVRational d2q(double D, int Max);

template <class T>
constexpr T clip(T A, T Min, T Max) {
  return A < Min ? Min : (A > Max ? Max : A);
}

// Whether pictures of this format and size can be handed to the scaler, the
// filter graph and the encoders (needs libavutil loaded). The scaler ends the
// process on an unknown format, so every value taken from a file passes here
// first.
bool PictureUsable(int PixFmt, int Width, int Height);
// Likewise for samples of this format, rate and channel count (the resampler
// divides by the size of an unknown format's sample).
bool SamplesUsable(int SampleFmt, int Rate, int Channels);

// Releases what a packet holds (its data reference and side data).
void free_packet(AVPacket* P);

// -10 * log10(E).
double Psnr(double E);

// Head := S up to the first Delim (all of S when there is none); with Remove,
// S loses the head and the delimiter.
void ExtractToken(std::string& S, const std::string& Delim, bool Remove, std::string& Head);

// Size in bytes of a regular file, or -1 when it does not exist or is no file.
int64_t FileSizeOf(const std::string& FileName);
