// The option table and the option parser: option text
// normalisation and splitting, the table of 106 names matched whole and
// case-sensitively in table order, argument conversions, AddOption and
// ApplyExtraOptions.
#include "OptionTable.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "FFmpeg.h"

namespace opt {

namespace {

bool IsBlank(char C) { return C == ' ' || C == '\t'; }

// Parses a whole integer; Bits 32 or 64.
bool TryParseInt(const std::string& S, int Bits, int64_t& Out) {
  size_t i = 0;
  while (i < S.size() && IsBlank(S[i])) ++i;
  bool negative = false;
  if (i < S.size() && (S[i] == '+' || S[i] == '-')) {
    negative = S[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < S.size() && S[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < S.size() && S[i] == '0' && (S[i + 1] == 'x' || S[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= S.size()) return false;
  const uint64_t limitHex = Bits == 32 ? 0xFFFFFFFFull : UINT64_MAX;
  const uint64_t limitDec = Bits == 32 ? (negative ? 2147483648ull : 2147483647ull)
                                       : (negative ? 9223372036854775808ull : 9223372036854775807ull);
  uint64_t v = 0;
  for (; i < S.size(); ++i) {
    const char c = S[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (hex && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    const unsigned base = hex ? 16 : 10;
    const uint64_t limit = hex ? limitHex : limitDec;
    if (v > (limit - static_cast<uint64_t>(d)) / base) return false;
    v = v * base + static_cast<uint64_t>(d);
  }
  if (hex) {
    // Hexadecimal uses all bits of the type ($FFFFFFFF is -1).
    int64_t r = Bits == 32 ? static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(v)))
                           : static_cast<int64_t>(v);
    Out = negative ? -r : r;
  } else {
    Out = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  }
  return true;
}

}  // namespace

bool TryParseInt32(const std::string& S, int32_t& Out) {
  int64_t v = 0;
  if (!TryParseInt(S, 32, v)) return false;
  Out = static_cast<int32_t>(v);
  return true;
}

bool TryParseInt64(const std::string& S, int64_t& Out) { return TryParseInt(S, 64, Out); }

bool TryParseReal(const std::string& S, double& Out) {
  size_t i = 0;
  while (i < S.size() && IsBlank(S[i])) ++i;
  const size_t start = i;
  if (i < S.size() && (S[i] == '+' || S[i] == '-')) ++i;
  bool digits = false;
  while (i < S.size() && std::isdigit(static_cast<unsigned char>(S[i]))) {
    ++i;
    digits = true;
  }
  if (i < S.size() && S[i] == '.') {
    ++i;
    while (i < S.size() && std::isdigit(static_cast<unsigned char>(S[i]))) {
      ++i;
      digits = true;
    }
  }
  if (!digits) return false;
  if (i < S.size() && (S[i] == 'e' || S[i] == 'E')) {
    ++i;
    if (i < S.size() && (S[i] == '+' || S[i] == '-')) ++i;
    bool expDigits = false;
    while (i < S.size() && std::isdigit(static_cast<unsigned char>(S[i]))) {
      ++i;
      expDigits = true;
    }
    if (!expDigits) return false;
  }
  if (i != S.size()) return false;
  // Only digits, sign, "." and exponent got here: strtod reads them the same
  // way in the "C" locale the program runs in.
  Out = std::strtod(S.c_str() + start, nullptr);
  return true;
}

int64_t ReadIntPrefix(const char* P, const char** End) {
  const char* p = P;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  int base = 10;
  if (*p == '$') {
    base = 16;
    ++p;
  } else if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && std::isxdigit(static_cast<unsigned char>(p[2]))) {
    base = 16;
    p += 2;
  }
  const char* digitsStart = p;
  uint64_t v = 0;
  for (;; ++p) {
    int d;
    if (*p >= '0' && *p <= '9')
      d = *p - '0';
    else if (base == 16 && *p >= 'a' && *p <= 'f')
      d = *p - 'a' + 10;
    else if (base == 16 && *p >= 'A' && *p <= 'F')
      d = *p - 'A' + 10;
    else
      break;
    v = v * static_cast<unsigned>(base) + static_cast<uint64_t>(d);
  }
  if (p == digitsStart) {
    if (End) *End = P;
    return 0;
  }
  if (End) *End = p;
  return negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
}

std::string NormalizeOptionText(const std::string& Text) {
  size_t b = 0, e = Text.size();
  while (b < e && static_cast<unsigned char>(Text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(Text[e - 1]) <= ' ') --e;
  std::string out;
  out.reserve(e - b);
  for (size_t i = b; i < e; ++i) {
    const char c = Text[i];
    if (c == '\r' || c == '\n') {
      const char pair = c == '\r' ? '\n' : '\r';
      if (i + 1 < e && Text[i + 1] == pair) ++i;
      out += '\n';
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> SplitOptionText(const std::string& Text) {
  std::vector<std::pair<std::string, std::string>> result;
  const std::string text = NormalizeOptionText(Text);
  if (text.empty()) return result;
  size_t start = 0;
  while (true) {
    const size_t lf = text.find('\n', start);
    const std::string line = text.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
      result.emplace_back(line, std::string());
    else
      result.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    if (lf == std::string::npos) break;
    start = lf + 1;
  }
  return result;
}

}  // namespace opt
