// Flash interface registers: the access control register (wait states,
// prefetch, caches), the key registers that unlock CR and OPTCR, the status
// register and the option bytes as the board's chip holds them. Programming
// and erasing are not modelled: starting either is reported.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "sim/core/peripheral.hpp"
#include "sim/periph/reg_bank.hpp"

namespace vb {

namespace flash_reg {
inline constexpr std::uint32_t ACR = 0x00;
inline constexpr std::uint32_t KEYR = 0x04;
inline constexpr std::uint32_t OPTKEYR = 0x08;
inline constexpr std::uint32_t SR = 0x0C;
inline constexpr std::uint32_t CR = 0x10;
inline constexpr std::uint32_t OPTCR = 0x14;

inline constexpr std::array<RegDef, 6> kMap{{
    // LATENCY, PRFTEN, ICEN, DCEN, ICRST, DCRST.
    {"ACR", ACR, 0x00000000, 0x00001F07},
    {"KEYR", KEYR, 0x00000000, 0x00000000},     // write-only key sequence
    {"OPTKEYR", OPTKEYR, 0x00000000, 0x00000000},
    // EOP, OPERR, WRPERR, PGAERR, PGPERR, PGSERR are cleared by writing 1; BSY read-only.
    {"SR", SR, 0x00000000, 0x00000000, 0x000000F3},
    // PG, SER, MER, SNB, PSIZE, STRT, EOPIE, ERRIE, LOCK (writable while unlocked).
    {"CR", CR, 0x80000000, 0x8301037F},
    // OPTLOCK, OPTSTRT, BOR_LEV, USER, RDP, nWRP (writable while unlocked).
    {"OPTCR", OPTCR, 0x0FFFAAED, 0x0FFFFFEF},
}};

inline constexpr std::uint32_t ACR_LATENCY = 7u << 0;
inline constexpr std::uint32_t ACR_ICEN = 1u << 9;
inline constexpr std::uint32_t ACR_DCEN = 1u << 10;
inline constexpr std::uint32_t ACR_ICRST = 1u << 11;
inline constexpr std::uint32_t ACR_DCRST = 1u << 12;
inline constexpr std::uint32_t CR_PG = 1u << 0;
inline constexpr std::uint32_t CR_SER = 1u << 1;
inline constexpr std::uint32_t CR_MER = 1u << 2;
inline constexpr std::uint32_t CR_STRT = 1u << 16;
inline constexpr std::uint32_t CR_LOCK = 1u << 31;
inline constexpr std::uint32_t OPTCR_OPTLOCK = 1u << 0;
inline constexpr std::uint32_t OPTCR_OPTSTRT = 1u << 1;
inline constexpr std::uint32_t kKey1 = 0x45670123, kKey2 = 0xCDEF89AB;
inline constexpr std::uint32_t kOptKey1 = 0x08192A3B, kOptKey2 = 0x4C5D6E7F;
}  // namespace flash_reg

class FlashInterface : public RegModel {
public:
  static constexpr std::uint32_t kBase = 0x40023C00;
  // Highest HCLK for one more wait state at 2.7-3.6 V: 30 MHz per step.
  static constexpr std::uint32_t kHzPerWaitState = 30'000'000;

  FlashInterface();

  std::uint32_t read(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  void reset() override;

  // The RCC's change listener: checks the wait states against the new HCLK.
  void clocks_changed() { update_latency_check(); }

  std::uint32_t reg(std::uint32_t offset) const { return regs_[offset]; }
  unsigned latency() const { return regs_[flash_reg::ACR] & flash_reg::ACR_LATENCY; }

private:
  enum class Key { kLocked, kFirst, kOpen, kBlocked };

  void write_acr(std::uint32_t value, std::uint32_t mask);
  void write_key(Key& state, std::uint32_t value, std::uint32_t key1, std::uint32_t key2, const char* what);
  void write_cr(std::uint32_t value, std::uint32_t mask);
  void write_optcr(std::uint32_t value, std::uint32_t mask);
  void update_latency_check();

  RegBank regs_;
  Key cr_key_ = Key::kLocked, opt_key_ = Key::kLocked;
};

}  // namespace vb
