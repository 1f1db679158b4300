// FNV-1a over bytes, 64-bit: the checksum of saved models and the digest that tells whether
// partial fits belong to one forest. Every input byte passes through a bijection of the state
// (xor, then multiplication by an odd prime), so any single changed byte changes the result.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace morvel {

class Fnv64 {
 public:
  void bytes(const void* data, uint64_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t h = state_;
    for (uint64_t i = 0; i < size; ++i) {
      h ^= p[i];
      h *= 0x100000001b3ULL;
    }
    state_ = h;
  }
  // Fixed-width little-endian words, so the digest is the same on every host.
  void u64(uint64_t v) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    bytes(b, 8);
  }
  void f64(double v) { u64(std::bit_cast<uint64_t>(v)); }
  // Length first, so adjacent strings cannot trade characters.
  void str(const std::string& s) {
    u64(s.size());
    bytes(s.data(), s.size());
  }
  uint64_t value() const { return state_; }

 private:
  uint64_t state_ = 0xcbf29ce484222325ULL;
};

inline uint64_t fnv64(std::span<const uint8_t> data) {
  Fnv64 h;
  h.bytes(data.data(), data.size());
  return h.value();
}

}  // namespace morvel
