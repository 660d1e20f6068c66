#include "MyUtils.h"

#include <sys/stat.h>

#include <climits>
#include <cmath>

double q2d(AVRational Q) { return static_cast<double>(Q.num) / static_cast<double>(Q.den); }

int cmp_q(AVRational A, AVRational B) {
  const int64_t diff = static_cast<int64_t>(A.num) * B.den - static_cast<int64_t>(B.num) * A.den;
  return diff > 0 ? 1 : (diff < 0 ? -1 : 0);
}

AVRational sub_q(AVRational A, AVRational B) {
  AVRational r{0, 1};
  ff::av_reduce(&r.num, &r.den,
                static_cast<int64_t>(A.num) * B.den - static_cast<int64_t>(B.num) * A.den,
                static_cast<int64_t>(A.den) * B.den, INT_MAX);
  return r;
}

AVRational d2q(double D, int Max) {
  // As the library's own av_d2q: no number, and numbers beyond any 32-bit
  // term, have no exponent to work with.
  if (std::isnan(D)) return AVRational{0, 0};
  if (std::fabs(D) > static_cast<double>(INT_MAX) + 3.0) return AVRational{D < 0 ? -1 : 1, 0};
  int e = static_cast<int>(std::nearbyint(std::log(std::fabs(D) + 1e-20) / std::log(2.0)));
  if (e < 0) e = 0;
  const int64_t den = int64_t{1} << (61 - e);
  const int64_t num = static_cast<int64_t>(std::nearbyint(D * static_cast<double>(den) + 0.5));
  AVRational r{0, 1};
  ff::av_reduce(&r.num, &r.den, num, den, Max);
  return r;
}

bool PictureUsable(int PixFmt, int Width, int Height) {
  return ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(PixFmt)) && Width > 0 && Height > 0 &&
         ff::av_image_check_size(static_cast<unsigned>(Width), static_cast<unsigned>(Height), 0, nullptr) >= 0;
}

bool SamplesUsable(int SampleFmt, int Rate, int Channels) {
  return ff::av_get_bytes_per_sample(static_cast<AVSampleFormat>(SampleFmt)) > 0 && Rate > 0 && Channels > 0;
}

void free_packet(AVPacket* P) {
  if (P) ff::av_packet_unref(P);
}

double Psnr(double E) { return -10.0 * std::log(E) / std::log(10.0); }

void ExtractToken(std::string& S, const std::string& Delim, bool Remove, std::string& Head) {
  const auto p = S.find(Delim);
  if (p != std::string::npos) {
    Head = S.substr(0, p);
    if (Remove) S.erase(0, p + Delim.size());
  } else {
    Head = S;
    if (Remove) S.clear();
  }
}

int64_t FileSizeOf(const std::string& FileName) {
  struct stat st {};
  if (FileName.empty() || stat(FileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}
