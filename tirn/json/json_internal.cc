#include "tirn/json/json_internal.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "tirn/json/json.h"
#include "tirn/json/text.h"

namespace Tirn {
namespace Json {
namespace detail {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

namespace {

// Sorted by identifier.
constexpr CatalogEntry kJsonCatalog[] = {
    {MessageIds::kDefinitionAnnotation, "At {1}: the annotation does not fit the definition: {2}."},
    {MessageIds::kDefinitionConflict, "At {1}: two different structures are named {2}."},
    {MessageIds::kDefinitionMissing, "At {1}: there is no definition."},
    {MessageIds::kDefinitionShape, "At {1}: {2}."},
    {MessageIds::kDefinitionTooLarge, "At {1}: more than {2} definitions."},
    {MessageIds::kDefinitionUnbound, "At {1}: the reference to {2} is bound to no structure."},
    {MessageIds::kDefinitionUnknownKind, "At {1}: \"{2}\" is not a kind of definition."},
    {MessageIds::kDefinitionUnknownStructure, "At {1}: no structure named {2} is described."},
    {MessageIds::kDuplicateKey, "At {1}: the key \"{2}\" appears twice."},
    {MessageIds::kInvalidBase64, "At {1}: the text is not base64."},
    {MessageIds::kInvalidUtf8, "Invalid UTF-8 at byte {2}."},
    {MessageIds::kInvalidUtf8Value, "At {1}: the string is not valid UTF-8."},
    {MessageIds::kNestedOptional,
     "At {1}: an optional directly inside an optional has no JSON form."},
    {MessageIds::kNotFinite, "At {1}: NaN and infinities have no JSON form."},
    {MessageIds::kNullValue, "At {1}: there is no value."},
    {MessageIds::kNumberOutOfRange, "At {1}: the number {2} is out of range."},
    {MessageIds::kSyntax, "Not JSON: {2} at byte {3}."},
    {MessageIds::kTooDeep, "At {1}: more than {2} levels of objects and arrays."},
    {MessageIds::kTooLarge, "The text of {2} bytes is too large."},
};
static_assert(CatalogIsSorted(kJsonCatalog), "the JSON catalog must be sorted by identifier");

}  // namespace

CatalogView JsonTag::Catalog() { return CatalogView(kJsonCatalog); }

bool DecodeBase64(boost::string_view text, std::string& out) {
  if (text.size() % 4 != 0) return false;
  out.clear();
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool const last = i + 4 == text.size();
    int const padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (padding == 1 && text[i + 2] == '=') return false;  // "x=y=" and the like
    unsigned group = 0;
    for (int k = 0; k < 4 - padding; ++k) {
      int const digit = Base64Digit(text[i + k]);
      if (digit < 0) return false;
      group = group << 6 | static_cast<unsigned>(digit);
    }
    group <<= 6 * padding;
    // Bits below the last byte must be zero, so every text has one reading only.
    if ((padding == 1 && (group & 0xff) != 0) || (padding == 2 && (group & 0xffff) != 0)) {
      return false;
    }
    out += static_cast<char>(group >> 16);
    if (padding < 2) out += static_cast<char>((group >> 8) & 0xff);
    if (padding < 1) out += static_cast<char>(group & 0xff);
  }
  return true;
}

std::size_t FormatDouble(double value, char (&buffer)[32]) {
  auto result = std::to_chars(buffer, buffer + sizeof buffer - 3, value);
  std::size_t size = static_cast<std::size_t>(result.ptr - buffer);
  if (std::memchr(buffer, '.', size) == nullptr && std::memchr(buffer, 'e', size) == nullptr) {
    buffer[size++] = '.';
    buffer[size++] = '0';
  }
  return size;
}

namespace {

// Eight bytes at a time, each test exact for the whole word: a byte below 0x80 has its high
// bit clear, and a zero byte is one that borrows when one is subtracted from every byte.
constexpr std::uint64_t kEachByte = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

std::uint64_t Word(char const* at) {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

bool HasZeroByte(std::uint64_t word) { return ((word - kEachByte) & ~word & kHighBits) != 0; }

// A byte below 0x20 (bytes of 0x80 and above have their high bit set and do not borrow).
bool HasByteBelowSpace(std::uint64_t word) {
  return ((word - kEachByte * 0x20) & ~word & kHighBits) != 0;
}

}  // namespace

std::size_t PlainStringRun(char const* data, std::size_t size) {
  std::size_t at = 0;
  for (; at + 8 <= size; at += 8) {
    std::uint64_t const word = Word(data + at);
    if (HasByteBelowSpace(word) || HasZeroByte(word ^ (kEachByte * '"')) ||
        HasZeroByte(word ^ (kEachByte * '\\'))) {
      break;
    }
  }
  for (; at < size; ++at) {
    unsigned char const c = static_cast<unsigned char>(data[at]);
    if (c < 0x20 || c == '"' || c == '\\') break;
  }
  return at;
}

bool IsValidUtf8(char const* data, std::size_t size) {
  boost::string_view const text(data, size);
  for (std::size_t at = 0; at < size;) {
    if (size - at >= 8 && (Word(data + at) & kHighBits) == 0) {
      at += 8;
      continue;
    }
    if (static_cast<unsigned char>(data[at]) < 0x80) {
      ++at;
      continue;
    }
    std::size_t const length = Utf8SequenceAt(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

}  // namespace detail

std::size_t Utf8SequenceAt(boost::string_view text, std::size_t at) {
  auto const byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char const lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;   // no overlong forms
    if (lead == 0xed) high = 0x9f;  // no surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xbf) return 0;
  }
  return length;
}

bool IsValidUtf8(boost::string_view text) { return detail::IsValidUtf8(text.data(), text.size()); }

void AppendJsonString(std::string& out, boost::string_view text) {
  static char const hex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t at = 0; at < text.size();) {
    unsigned char const c = static_cast<unsigned char>(text[at]);
    std::size_t const length = Utf8SequenceAt(text, at);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || length == 0) {
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out.append(text.data() + at, length);
      at += length;
      continue;
    }
    ++at;
  }
  out += '"';
}

void AppendBase64(boost::string_view bytes, std::string& out, Base64 form) {
  static char const url[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  char const* const alphabet = form == Base64::kUrl ? url : detail::kBase64Alphabet;
  bool const pad = form == Base64::kStandard;
  out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
  for (; i + 3 <= bytes.size(); i += 3) {
    unsigned const group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    out += alphabet[group >> 18];
    out += alphabet[(group >> 12) & 63];
    out += alphabet[(group >> 6) & 63];
    out += alphabet[group & 63];
  }
  std::size_t const rest = bytes.size() - i;
  if (rest == 0) return;
  unsigned const group = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
  out += alphabet[group >> 18];
  out += alphabet[(group >> 12) & 63];
  if (rest == 2) out += alphabet[(group >> 6) & 63];
  if (pad) out += rest == 2 ? "=" : "==";
}

}  // namespace Json
}  // namespace Tirn
