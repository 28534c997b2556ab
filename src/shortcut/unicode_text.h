// The few Unicode text operations the shortcut parser needs, on UTF-8 text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qen::unicode {

// Decodes bytes as UTF-8, putting U+FFFD in place of every ill-formed sequence.
std::string toValidUtf8(std::string_view bytes);

// Splits valid UTF-8 text into extended grapheme clusters.
std::vector<std::string> graphemeClusters(std::string_view text);

// Removes whitespace-and-newline code points (Zs, Zl, Zp, U+0009..U+000D,
// U+0085) from both ends.
std::string trimWhitespaceAndNewlines(std::string_view text);

// Full default lowercase mapping, one code point at a time, with no locale.
std::string lowercased(std::string_view text);

}  // namespace qen::unicode
