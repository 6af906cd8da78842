#include "sim/core/fault_locate.hpp"

#include <unicorn/unicorn.h>

#include <vector>

#include "sim/core/thumb.hpp"

namespace vb {

namespace {

struct Seen {
  std::uint32_t addr;
  bool write;
  bool hit = false;
};

// Every data access of the instruction tried, valid (its own code page) or
// not (everything else); an access to nothing stops it there.
bool note_access(Seen& s, uc_mem_type type, std::uint64_t addr, int size) {
  const bool write = type == UC_MEM_WRITE || type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT;
  const auto a = static_cast<std::uint32_t>(addr);
  if (write == s.write && s.addr - a < static_cast<std::uint32_t>(size)) s.hit = true;
  return false;
}

void on_valid(uc_engine*, uc_mem_type type, std::uint64_t addr, int size, std::int64_t, void* user) {
  note_access(*static_cast<Seen*>(user), type, addr, size);
}

bool on_invalid(uc_engine*, uc_mem_type type, std::uint64_t addr, int size, std::int64_t, void* user) {
  return note_access(*static_cast<Seen*>(user), type, addr, size);
}

}  // namespace

std::optional<std::uint32_t> locate_bad_access(const BadAccessProbe& p) {
  if (!p.code || p.end <= p.begin || p.end - p.begin > 0x1000) return std::nullopt;
  uc_engine* uc = nullptr;
  if (uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &uc) != UC_ERR_OK) return std::nullopt;
  struct Close {
    uc_engine* uc;
    ~Close() { uc_close(uc); }
  } close{uc};
  uc_ctl_set_cpu_model(uc, UC_CPU_ARM_CORTEX_M4);
  const std::uint32_t page = p.begin & ~0xFFFu, pages_end = (p.end + 0xFFFu) & ~0xFFFu;
  if (uc_mem_map(uc, page, pages_end - page, UC_PROT_READ | UC_PROT_EXEC) != UC_ERR_OK ||
      uc_mem_write(uc, p.begin, p.code, p.end - p.begin) != UC_ERR_OK)
    return std::nullopt;
  Seen seen{p.addr, p.write};
  uc_hook h1, h2;
  uc_hook_add(uc, &h1, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&on_valid), &seen, 1, 0);
  uc_hook_add(uc, &h2, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&on_invalid), &seen, 1, 0);

  std::optional<std::uint32_t> found;
  int matches = 0;
  for (std::uint32_t pc = p.begin; pc < p.end;) {
    const std::uint16_t first = static_cast<std::uint16_t>(p.code[pc - p.begin] | p.code[pc - p.begin + 1] << 8);
    for (int i = 0; i <= 12; ++i) uc_reg_write(uc, UC_ARM_REG_R0 + i, &p.regs[i]);
    uc_reg_write(uc, UC_ARM_REG_SP, &p.regs[13]);
    uc_reg_write(uc, UC_ARM_REG_LR, &p.regs[14]);
    uc_reg_write(uc, UC_ARM_REG_XPSR, &p.xpsr);
    seen.hit = false;
    uc_emu_start(uc, pc | 1, 0, 0, 1);  // one instruction; errors just end it
    if (seen.hit) {
      ++matches;
      found = pc;
    }
    pc += is_thumb32(first) ? 4 : 2;
  }
  return matches == 1 ? found : std::nullopt;
}

}  // namespace vb
