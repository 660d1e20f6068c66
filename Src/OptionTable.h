// Option text conversions and splitting shared by the option table and the
// option handlers.
#pragma once

#include <locale.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace opt {

// A whole value as an integer: optional leading blanks, optional sign, decimal
// digits or hexadecimal after "$" or "0x". False when anything else is in it or
// the value does not fit (hexadecimal may use all bits: $FFFFFFFF is -1).
bool TryParseInt32(const std::string& S, int32_t& Out);
bool TryParseInt64(const std::string& S, int64_t& Out);
// A whole value as a decimal number ("." separator, optional exponent),
// whatever the process locale.
bool TryParseReal(const std::string& S, double& Out);
// The number at the start of P like strtod in the "C" locale (leading blanks,
// optional sign, "." separator); 0 when there is none.
double ReadRealPrefix(const char* P);

// While it lives, numbers that the calling thread reads or writes through the
// C library (and so inside the media libraries' option parsing) use "." as
// the decimal separator, whatever locale the program set.
class TCNumericScope {
public:
  TCNumericScope();
  ~TCNumericScope();
  TCNumericScope(const TCNumericScope&) = delete;
  TCNumericScope& operator=(const TCNumericScope&) = delete;

private:
  locale_t FPrevious;
};

// Reads the integer at P (leading blanks skipped, optional sign, decimal or
// "$"/"0x" hexadecimal) and stops at the first character that does not belong
// to it; End receives that position. No digits give 0 (End = P).
int64_t ReadIntPrefix(const char* P, const char** End);

// Trims the text of leading and trailing blanks and control characters and turns
// every line break (CR LF, LF CR, lone CR, lone LF) into one LF.
std::string NormalizeOptionText(const std::string& Text);

// The (name, value) pairs of an option text, one per line; a line is cut at its
// first "=" (none: the whole line is the name, the value is empty). An empty
// text gives no pairs; empty lines give empty pairs.
std::vector<std::pair<std::string, std::string>> SplitOptionText(const std::string& Text);

}  // namespace opt
