// The firmware's memcpy/memset bodies, compiled for the host: exact bytes at
// every length and every source/destination misalignment, nothing touched
// outside the destination range.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "startup/mem_ops.hpp"

namespace {

constexpr std::size_t kGuard = 16;   // bytes before and after every range
constexpr std::uint8_t kFill = 0xA5; // destination contents before the call
constexpr std::size_t kMaxLen = 215;
constexpr std::size_t kBufSize = kGuard + 4 + kMaxLen + kGuard;

// Every length up to 70 (all head/word/tail combinations) plus lengths that
// run through several 64-byte and 16-byte blocks.
std::vector<std::size_t> lengths() {
  std::vector<std::size_t> v;
  for (std::size_t n = 0; n <= 70; ++n) v.push_back(n);
  for (std::size_t n : {127u, 128u, 129u, 215u}) v.push_back(n);
  return v;
}

struct Buffers {
  alignas(16) std::array<std::uint8_t, kBufSize> src;
  alignas(16) std::array<std::uint8_t, kBufSize> dst;
  Buffers() {
    // Position-unique source bytes, none equal to the destination fill.
    for (std::size_t i = 0; i < kBufSize; ++i) src[i] = static_cast<std::uint8_t>(1 + i % 0xA0);
    dst.fill(kFill);
  }
};

// Empty when dst holds exactly the copy; otherwise the first wrong offset.
std::string copy_mismatch(const Buffers& b, std::size_t dst_at, std::size_t src_at, std::size_t n) {
  for (std::size_t i = 0; i < kBufSize; ++i) {
    const bool inside = i >= dst_at && i < dst_at + n;
    const std::uint8_t want = inside ? b.src[src_at + (i - dst_at)] : kFill;
    if (b.dst[i] != want) {
      std::ostringstream s;
      s << "byte " << i << (inside ? " (inside)" : " (outside)") << " is " << int(b.dst[i]) << ", want "
        << int(want);
      return s.str();
    }
  }
  return {};
}

TEST(Memcpy, ShouldCopyExactlyNBytesForEveryLengthAndAlignment) {
  for (unsigned src_off = 0; src_off < 4; ++src_off) {
    for (unsigned dst_off = 0; dst_off < 4; ++dst_off) {
      for (std::size_t n : lengths()) {
        Buffers b;
        const auto src_before = b.src;
        const std::size_t src_at = kGuard + src_off, dst_at = kGuard + dst_off;

        void* ret = fw::copy_bytes(b.dst.data() + dst_at, b.src.data() + src_at, n);

        SCOPED_TRACE(testing::Message() << "n=" << n << " src_off=" << src_off << " dst_off=" << dst_off);
        EXPECT_EQ(static_cast<void*>(b.dst.data() + dst_at), ret);
        EXPECT_EQ("", copy_mismatch(b, dst_at, src_at, n));
        EXPECT_EQ(src_before, b.src);
        if (HasFailure()) return;
      }
    }
  }
}

TEST(Memset, ShouldFillExactlyCntBytesForEveryLengthAndAlignment) {
  for (unsigned dst_off = 0; dst_off < 4; ++dst_off) {
    for (std::size_t n : lengths()) {
      Buffers b;
      const std::size_t dst_at = kGuard + dst_off;

      // Only the low byte of the value counts.
      void* ret = fw::fill_bytes(b.dst.data() + dst_at, 0x13C, n);

      SCOPED_TRACE(testing::Message() << "n=" << n << " dst_off=" << dst_off);
      EXPECT_EQ(static_cast<void*>(b.dst.data() + dst_at), ret);
      for (std::size_t i = 0; i < kBufSize; ++i) {
        const bool inside = i >= dst_at && i < dst_at + n;
        ASSERT_EQ(inside ? 0x3C : kFill, b.dst[i]) << "byte " << i;
      }
    }
  }
}

}  // namespace
