// Power controller: regulator scale, backup-domain write access (DBP), the
// standby and wake-up flags, the voltage detector and the backup regulator.
// Low-power modes are not entered on the board; their bits are stored.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "sim/core/peripheral.hpp"
#include "sim/periph/reg_bank.hpp"

namespace vb {

namespace pwr_reg {
inline constexpr std::uint32_t CR = 0x00;
inline constexpr std::uint32_t CSR = 0x04;

inline constexpr std::array<RegDef, 2> kMap{{
    // LPDS, PDDS, PVDE, PLS, DBP, FPDS, VOS; CWUF and CSBF are write-only actions.
    {"CR", CR, 0x00004000, 0x000043F3},
    // EWUP, BRE; WUF, SBF, PVDO, BRR read-only.
    {"CSR", CSR, 0x00000000, 0x00000300},
}};

inline constexpr std::uint32_t CR_CWUF = 1u << 2;
inline constexpr std::uint32_t CR_CSBF = 1u << 3;
inline constexpr std::uint32_t CR_DBP = 1u << 8;
inline constexpr std::uint32_t CR_VOS = 1u << 14;  // 1: scale 1 (reset), 0: scale 2
inline constexpr std::uint32_t CSR_WUF = 1u << 0;
inline constexpr std::uint32_t CSR_SBF = 1u << 1;
inline constexpr std::uint32_t CSR_BRR = 1u << 3;
inline constexpr std::uint32_t CSR_BRE = 1u << 9;
}  // namespace pwr_reg

class Pwr : public RegModel {
public:
  static constexpr std::uint32_t kBase = 0x40007000;
  // Highest HCLK with the regulator at scale 2 (VOS = 0).
  static constexpr std::uint32_t kMaxHclkScale2 = 144'000'000;

  Pwr();

  std::uint32_t read(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  void reset() override;

  // The RCC's change listener: checks HCLK against the regulator scale.
  void clocks_changed() { update_scale_check(); }

  // Backup-domain write access, for the backup-domain model.
  bool dbp() const { return regs_[pwr_reg::CR] & pwr_reg::CR_DBP; }
  // The chip woke from standby / a wake-up event occurred (board side).
  void set_flags(bool wakeup, bool standby);

  std::uint32_t reg(std::uint32_t offset) const { return regs_[offset]; }

private:
  void update_backup_regulator();
  void update_scale_check();

  RegBank regs_;
};

}  // namespace vb
