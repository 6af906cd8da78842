// Which instruction of a translated block made a bad access. The engine
// reports a bad access with the core at the start of the block that made
// it; the registers, though, are as the faulting instruction found them.
// Each instruction of the block is tried once on its own, from those
// registers, on a scratch core that holds nothing but the block's code: the
// one instruction that reaches the bad address the same way is the faulting
// one. When none or several do (a register the block changes before and
// after), the answer is "unknown" and the report keeps the block's start.
#pragma once
#include <cstdint>
#include <optional>

namespace vb {

struct BadAccessProbe {
  const std::uint8_t* code = nullptr;  // the block's bytes, [begin, end)
  std::uint32_t begin = 0, end = 0;
  std::uint32_t regs[15]{};  // r0-r12, sp, lr when the access faulted
  std::uint32_t xpsr = 0;
  std::uint32_t addr = 0;  // the address accessed
  bool write = false;
};

// The faulting instruction's address, when exactly one instruction of the
// block accesses `addr` in that direction from those registers.
std::optional<std::uint32_t> locate_bad_access(const BadAccessProbe& probe);

}  // namespace vb
