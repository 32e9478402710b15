// UTF-8 helpers of the core: validation, lossy decoding, code point iteration and encoding.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vorel::utf8 {

bool valid(std::string_view s) noexcept;
// Replaces each maximal ill-formed subpart with U+FFFD, so decoding never fails.
std::string lossy(std::span<const uint8_t> bytes);
// The code point at s[i], advancing i; an ill-formed byte yields U+FFFD and advances by one.
uint32_t next(std::string_view s, size_t& i) noexcept;
void append(std::string& out, uint32_t cp);

}  // namespace vorel::utf8
