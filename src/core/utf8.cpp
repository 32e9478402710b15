// UTF-8 validation, lossy decoding and encoding, shared by serial checks, names and error texts.
#include "utf8.h"

namespace vorel::utf8 {

namespace {

// Length of the well-formed sequence at b[i], or 0; with `prefix` the length of the longest
// well-formed prefix (the "maximal subpart") is reported through it.
size_t sequence_length(std::span<const uint8_t> b, size_t i, size_t& prefix) noexcept {
  uint8_t c = b[i];
  prefix = 1;
  if (c < 0x80) return 1;
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= b.size() || b[i + k] < lo || b[i + k] > hi) {
      prefix = k;
      return 0;
    }
    lo = 0x80;
    hi = 0xBF;
  }
  return need + 1;
}

uint32_t decode_at(std::span<const uint8_t> b, size_t i, size_t len) noexcept {
  if (len == 1) return b[i];
  uint32_t cp = b[i] & (0x7Fu >> len);
  for (size_t k = 1; k < len; ++k) cp = cp << 6 | (b[i + k] & 0x3Fu);
  return cp;
}

std::span<const uint8_t> bytes_of(std::string_view s) noexcept {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

bool valid(std::string_view s) noexcept {
  auto b = bytes_of(s);
  for (size_t i = 0; i < b.size();) {
    size_t prefix;
    size_t len = sequence_length(b, i, prefix);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string lossy(std::span<const uint8_t> b) {
  std::string out;
  out.reserve(b.size());
  for (size_t i = 0; i < b.size();) {
    size_t prefix;
    size_t len = sequence_length(b, i, prefix);
    if (len == 0) {
      append(out, 0xFFFD);
      i += prefix;
    } else {
      out.append(reinterpret_cast<const char*>(b.data() + i), len);
      i += len;
    }
  }
  return out;
}

uint32_t next(std::string_view s, size_t& i) noexcept {
  auto b = bytes_of(s);
  size_t prefix;
  size_t len = sequence_length(b, i, prefix);
  if (len == 0) {
    ++i;
    return 0xFFFD;
  }
  uint32_t cp = decode_at(b, i, len);
  i += len;
  return cp;
}

void append(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace vorel::utf8
