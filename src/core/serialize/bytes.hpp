#pragma once
/// Fixed-width little-endian integer stores and loads on raw byte pointers, shared by the
/// blob writer and reader. Callers do their own bounds checks.
#include <bit>
#include <cstdint>
#include <cstring>

namespace vantrel::blob {

inline char* put_u8(char* p, std::uint8_t v) {
  *p = static_cast<char>(v);
  return p + 1;
}

template <class T>
inline char* put_le(char* p, T v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, sizeof v);
  } else {
    for (std::size_t i = 0; i < sizeof v; ++i)
      p[i] = static_cast<char>((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xFF);
  }
  return p + sizeof v;
}

inline char* put_u32(char* p, std::uint32_t v) { return put_le(p, v); }
inline char* put_u64(char* p, std::uint64_t v) { return put_le(p, v); }

template <class T>
inline T get_le(const char* p) {
  T v;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, p, sizeof v);
  } else {
    std::uint64_t acc = 0;
    for (std::size_t i = 0; i < sizeof v; ++i) acc |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    v = static_cast<T>(acc);
  }
  return v;
}

inline constexpr char kMagic[4] = {'V', 'I', 'R', '1'};
inline constexpr std::uint64_t kMaxCount = 0xFFFFFFFFu;

/// Tags of a parameter value and of a stage argument, as written in the blob.
enum ValueTag : std::uint8_t { kInt = 0, kFloat = 1, kBool = 2, kStr = 3 };
enum RefTag : std::uint8_t { kInput = 0, kMember = 1 };

}  // namespace vantrel::blob
