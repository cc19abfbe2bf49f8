// The conversions of scanf's "%d" and "%f" over a string: blanks skipped, an optional sign, the
// number; `pos` moves past what was read. A number beyond its type's range is no conversion.
// Locale-independent, never reads past the text.
#pragma once

#include <cstddef>
#include <string_view>

namespace rt {

bool isScanBlank(char c);
bool scanInt(std::string_view s, size_t &pos, int &out);
bool scanFloat(std::string_view s, size_t &pos, float &out);
// The integer that "  %d" reads from `text` at character `from`; 0 when none can be read
// (text too short, no digits, or a number beyond int).
int scanIntAt(std::string_view text, size_t from);

}  // namespace rt
