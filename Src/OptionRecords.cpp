// Option records: local date-times and hook ranges.
#include "OptionRecords.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "MyUtils.h"

// ---------------------------------------------------------------------------
// Date-time and hook ranges

namespace {

constexpr double kUnixEpochAsDateTime = 25569.0;  // 1970-01-01 in days since 1899-12-30

std::string TrimBlanks(const std::string& S) {
  size_t b = 0, e = S.size();
  while (b < e && static_cast<unsigned char>(S[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(S[e - 1]) <= ' ') --e;
  return S.substr(b, e - b);
}

// A whole decimal integer of milliseconds as microseconds; -1000 (that is, -1
// millisecond) for a text that is not such a number or does not fit.
int64_t MillisecondsTextToUs(const std::string& Text) {
  const std::string t = TrimBlanks(Text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  if (i >= t.size()) return -1000;
  int64_t v = 0;
  constexpr int64_t kLimit = INT64_MAX / 1000;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return -1000;
    const int d = t[i] - '0';
    if (v > (kLimit - d) / 10) return -1000;
    v = v * 10 + d;
  }
  return (negative ? -v : v) * 1000;
}

}  // namespace

int64_t LocalDateTimeToUnix(double DateTime) {
  // Local seconds since 1970 as if the local clock were UTC.
  const auto local = static_cast<int64_t>(std::nearbyint((DateTime - kUnixEpochAsDateTime) * 86400.0));
  // The offset in force at that local moment: guess with the offset at the
  // same reading of UTC, then correct once (enough across a change of offset).
  time_t probe = static_cast<time_t>(local);
  tm parts{};
  localtime_r(&probe, &parts);
  probe = static_cast<time_t>(local - parts.tm_gmtoff);
  localtime_r(&probe, &parts);
  return local - parts.tm_gmtoff;
}

double NowAsDateTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  localtime_r(&now.tv_sec, &parts);
  const double localSeconds =
      static_cast<double>(now.tv_sec + parts.tm_gmtoff) + static_cast<double>(now.tv_nsec) / 1e9;
  return localSeconds / 86400.0 + kUnixEpochAsDateTime;
}

std::vector<HookRange> ParseHookRangeText(const std::string& Text) {
  std::string rest = TrimBlanks(Text);
  std::vector<HookRange> ranges;
  ranges.reserve(static_cast<size_t>(std::count(rest.begin(), rest.end(), ',')) + 1);
  while (!rest.empty()) {
    std::string part;
    ExtractToken(rest, ",", true, part);
    part = TrimBlanks(part);
    // Without a "-" the whole part is the start and the end is empty.
    std::string start;
    ExtractToken(part, "-", true, start);
    HookRange r{MillisecondsTextToUs(start), MillisecondsTextToUs(part)};
    if (r.Stop >= r.Start && r.Stop >= 0) ranges.push_back(r);
  }
  return ranges;
}
