#include "sim/periph/flash_if.hpp"

#include <string>

#include "sim/core/machine.hpp"

namespace vb {

using namespace flash_reg;

FlashInterface::FlashInterface() : RegModel("FLASH", kBase, 0x400), regs_(kMap) {}

std::uint32_t FlashInterface::read(std::uint32_t offset) {
  if (!regs_.find(offset)) {
    report_unimplemented(offset, false);
    return 0;
  }
  if (offset == KEYR || offset == OPTKEYR) return 0;  // write-only
  return regs_[offset];
}

void FlashInterface::write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) {
  if (!accept_write(regs_.map(), offset, value, mask, 1)) return;
  switch (offset) {
    case ACR: write_acr(value, mask); break;
    case KEYR: write_key(cr_key_, value, kKey1, kKey2, "KEYR"); break;
    case OPTKEYR: write_key(opt_key_, value, kOptKey1, kOptKey2, "OPTKEYR"); break;
    case SR: regs_.store(SR, value, mask); break;
    case CR: write_cr(value, mask); break;
    case OPTCR: write_optcr(value, mask); break;
  }
}

void FlashInterface::reset() {
  regs_.reset();
  cr_key_ = opt_key_ = Key::kLocked;
}

void FlashInterface::write_acr(std::uint32_t value, std::uint32_t mask) {
  const std::uint32_t old = regs_[ACR];
  std::uint32_t v = apply_write(regs_.def(ACR), old, value, mask);
  // The cache reset bits are plain read/write bits that take effect only
  // while their cache is disabled; written with the cache on they keep their
  // value. (Caches hold nothing in the emulation, so a reset has no effect.)
  if (old & ACR_ICEN) v = (v & ~ACR_ICRST) | (old & ACR_ICRST);
  if (old & ACR_DCEN) v = (v & ~ACR_DCRST) | (old & ACR_DCRST);
  regs_[ACR] = v;
  update_latency_check();
}

// The unlock sequence: key 1 then key 2. Any other value locks the register
// until the next reset; the chip answers it with a bus error.
void FlashInterface::write_key(Key& state, std::uint32_t value, std::uint32_t key1, std::uint32_t key2,
                               const char* what) {
  const std::uint32_t lock_reg = &state == &cr_key_ ? CR : OPTCR;
  const std::uint32_t lock_bit = &state == &cr_key_ ? CR_LOCK : OPTCR_OPTLOCK;
  if (state == Key::kLocked && value == key1) {
    state = Key::kFirst;
  } else if (state == Key::kFirst && value == key2) {
    state = Key::kOpen;
    regs_[lock_reg] &= ~lock_bit;
  } else {
    state = Key::kBlocked;
    report(std::string("wrong unlock sequence on ") + what + " (" + hex32(value) +
           "): bus error, locked until reset");
  }
}

void FlashInterface::write_cr(std::uint32_t value, std::uint32_t mask) {
  if (regs_[CR] & CR_LOCK) {
    machine().message("FLASH: CR written while locked; write ignored");
    return;
  }
  const std::uint32_t v = regs_.store(CR, value, mask);
  if ((v & CR_LOCK) && cr_key_ != Key::kBlocked) cr_key_ = Key::kLocked;
  if (v & (CR_PG | CR_STRT)) {
    report("programming and erasing are not modelled (CR " + hex32(v) + ")");
    regs_[CR] &= ~CR_STRT;
  }
}

void FlashInterface::write_optcr(std::uint32_t value, std::uint32_t mask) {
  if (regs_[OPTCR] & OPTCR_OPTLOCK) {
    machine().message("FLASH: OPTCR written while locked; write ignored");
    return;
  }
  const std::uint32_t v = regs_.store(OPTCR, value, mask);
  if ((v & OPTCR_OPTLOCK) && opt_key_ != Key::kBlocked) opt_key_ = Key::kLocked;
  if (v & OPTCR_OPTSTRT) {
    report("option byte programming is not modelled");
    regs_[OPTCR] &= ~OPTCR_OPTSTRT;
  }
}

// Too few wait states for the core clock make the chip's instruction
// fetches return undefined data: the run stops with a report.
void FlashInterface::update_latency_check() {
  const std::uint32_t hclk = machine().clocks().hclk;
  const std::uint64_t limit = std::uint64_t{kHzPerWaitState} * (latency() + 1);
  if (hclk > limit)
    report(std::to_string(latency()) + " wait states are too few for HCLK " + std::to_string(hclk) +
           " Hz (at most " + std::to_string(limit) + " Hz at 3.3 V; instruction fetches are undefined)");
}

}  // namespace vb
