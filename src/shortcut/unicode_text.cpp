#include "shortcut/unicode_text.h"

#include <utf8proc.h>

#include <algorithm>

namespace qen::unicode {
namespace {

constexpr utf8proc_int32_t replacementCharacter = 0xFFFD;
constexpr utf8proc_int32_t capitalIWithDotAbove = 0x0130;

void appendCodePoint(std::string& out, utf8proc_int32_t codePoint) {
  utf8proc_uint8_t buffer[4];
  auto length = utf8proc_encode_char(codePoint, buffer);
  out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

// Calls visit(codePoint, byteOffset, byteLength) for each code point of valid UTF-8.
template <typename Visit>
void forEachCodePoint(std::string_view text, Visit visit) {
  auto bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t offset = 0;
  while (offset < text.size()) {
    utf8proc_int32_t codePoint = 0;
    auto length = utf8proc_iterate(bytes + offset,
                                   static_cast<utf8proc_ssize_t>(text.size() - offset), &codePoint);
    auto step = length > 0 ? static_cast<std::size_t>(length) : 1;
    visit(length > 0 ? codePoint : replacementCharacter, offset, step);
    offset += step;
  }
}

// ASCII is answered without utf8proc's property tables: looking them up
// would page in a few hundred kB of the binary at start-up for every shortcut.
bool isAscii(utf8proc_int32_t codePoint) { return codePoint >= 0 && codePoint < 0x80; }

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char byte) { return static_cast<unsigned char>(byte) < 0x80; });
}

// Between two ASCII characters a cluster ends everywhere but inside CR LF.
std::vector<std::string> asciiGraphemeClusters(std::string_view text) {
  std::vector<std::string> clusters;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool crlf = text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
    clusters.emplace_back(text.substr(i, crlf ? 2 : 1));
    if (crlf) ++i;
  }
  return clusters;
}

bool isWhitespaceOrNewline(utf8proc_int32_t codePoint) {
  if ((codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x85) return true;
  if (isAscii(codePoint)) return codePoint == ' ';
  auto category = utf8proc_category(codePoint);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

}  // namespace

std::string toValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  forEachCodePoint(bytes, [&](utf8proc_int32_t codePoint, std::size_t offset, std::size_t length) {
    if (codePoint == replacementCharacter) {
      appendCodePoint(out, codePoint);
    } else {
      out.append(bytes.substr(offset, length));
    }
  });
  return out;
}

std::vector<std::string> graphemeClusters(std::string_view text) {
  if (isAscii(text)) return asciiGraphemeClusters(text);
  std::vector<std::string> clusters;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  forEachCodePoint(text, [&](utf8proc_int32_t codePoint, std::size_t offset, std::size_t length) {
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codePoint, &state)) {
      clusters.emplace_back();
    }
    clusters.back().append(text.substr(offset, length));
    previous = codePoint;
  });
  return clusters;
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
  std::size_t begin = text.size();
  std::size_t end = 0;
  forEachCodePoint(text, [&](utf8proc_int32_t codePoint, std::size_t offset, std::size_t length) {
    if (isWhitespaceOrNewline(codePoint)) return;
    if (begin == text.size()) begin = offset;
    end = offset + length;
  });
  return begin < end ? std::string(text.substr(begin, end - begin)) : std::string();
}

std::string lowercased(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  forEachCodePoint(text, [&](utf8proc_int32_t codePoint, std::size_t, std::size_t) {
    // The one unconditional full mapping that the simple mapping lacks.
    if (codePoint == capitalIWithDotAbove) {
      appendCodePoint(out, 0x0069);
      appendCodePoint(out, 0x0307);
      return;
    }
    if (isAscii(codePoint)) {
      out.push_back(
          static_cast<char>(codePoint >= 'A' && codePoint <= 'Z' ? codePoint + 32 : codePoint));
      return;
    }
    appendCodePoint(out, utf8proc_tolower(codePoint));
  });
  return out;
}

}  // namespace qen::unicode
