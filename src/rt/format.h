// printf formatting into std::string. Every fixed-layout line of the program (reports, records,
// settings, DAC and linearity files, displays) is produced through these helpers so that widths,
// blanks and exponents come out exactly as the format says.
#pragma once

#include <cstdarg>
#include <string>

namespace rt {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char *fmt, va_list ap);
// Appends to `out` (no allocation once `out` has the capacity).
void appendFormat(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The text of ctime() for a wall-clock time, including its line break.
std::string ctimeText(long long unixSeconds);

}  // namespace rt
