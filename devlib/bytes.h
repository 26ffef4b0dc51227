// Little-endian numbers in byte buffers, as the camera's wire frames and the
// firmware and table files carry them. The pointer forms read or write
// exactly their width and leave the bounds to the caller; the checked forms
// read a number that does not lie wholly inside the buffer as zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumavix {

[[nodiscard]] constexpr std::uint16_t load_le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
[[nodiscard]] constexpr std::uint32_t load_le24(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16;
}
[[nodiscard]] constexpr std::uint32_t load_le32(const std::uint8_t* p) {
  return load_le24(p) | std::uint32_t{p[3]} << 24;
}

constexpr void store_le16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
constexpr void store_le24(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 3; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
constexpr void store_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

[[nodiscard]] constexpr std::uint16_t le16_at(std::span<const std::uint8_t> b, std::size_t at) {
  return at <= b.size() && b.size() - at >= 2 ? load_le16(b.data() + at) : 0;
}
[[nodiscard]] constexpr std::uint32_t le24_at(std::span<const std::uint8_t> b, std::size_t at) {
  return at <= b.size() && b.size() - at >= 3 ? load_le24(b.data() + at) : 0;
}
[[nodiscard]] constexpr std::uint32_t le32_at(std::span<const std::uint8_t> b, std::size_t at) {
  return at <= b.size() && b.size() - at >= 4 ? load_le32(b.data() + at) : 0;
}

inline void append_le16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void append_le32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace lumavix
