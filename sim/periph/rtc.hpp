// The backup domain of the chip: the RTC block (calendar, write protection,
// initialisation mode, shadow registers, backup registers), the low-speed
// clocks that drive it (LSE in bypass from the board's 32.768 kHz signal, the
// internal LSI) and the RCC registers that control them (BDCR and CSR, which
// the RCC model hands over to this model).
//
// The calendar is computed lazily: every access first converts the core
// cycles elapsed since the previous access into RTCCLK cycles and then into
// seconds, so an idle RTC costs nothing and runs are deterministic.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "sim/core/peripheral.hpp"
#include "sim/core/scheduler.hpp"
#include "sim/periph/bcd_calendar.hpp"
#include "sim/periph/rcc.hpp"

namespace vb {

// Register map of the RTC block as modelled (alarms, wake-up timer, time
// stamps, calibration and tamper registers are not: accesses are reported).
namespace rtc_reg {
inline constexpr std::uint32_t TR = 0x00;
inline constexpr std::uint32_t DR = 0x04;
inline constexpr std::uint32_t CR = 0x08;
inline constexpr std::uint32_t ISR = 0x0C;
inline constexpr std::uint32_t PRER = 0x10;
inline constexpr std::uint32_t WPR = 0x24;
inline constexpr std::uint32_t BKP0R = 0x50;  // 20 backup registers up to 0x9C
inline constexpr unsigned kBackupRegisters = 20;

inline constexpr std::array<RegDef, 6> kMap{{
    {"TR", TR, 0x00000000, 0x007F7F7F},
    {"DR", DR, 0x00002101, 0x00FFFF3F},
    {"CR", CR, 0x00000000, 0x00FFFFFF},
    // INIT is plain; RSF and the event flags are cleared by writing 0;
    // ALRAWF/ALRBWF/WUTWF (1 at reset), SHPF, INITS, INITF are read-only.
    {"ISR", ISR, 0x00000007, 0x00000080, 0, 0x00007F20},
    {"PRER", PRER, 0x007F00FF, 0x007F7FFF},
    {"WPR", WPR, 0x00000000, 0x000000FF},
}};

// The map entry of a register; the offset must be in kMap.
constexpr const RegDef& def(std::uint32_t offset) {
  for (const auto& r : kMap)
    if (r.offset == offset) return r;
  return kMap[0];
}

// Bits the model acts on.
inline constexpr std::uint32_t TR_PM = 1u << 22;
inline constexpr std::uint32_t CR_BYPSHAD = 1u << 5;
inline constexpr std::uint32_t CR_BKP = 1u << 18;  // stored only (a flag for the software)
inline constexpr std::uint32_t ISR_RSF = 1u << 5;
inline constexpr std::uint32_t ISR_INITS = 1u << 4;
inline constexpr std::uint32_t ISR_INITF = 1u << 6;
inline constexpr std::uint32_t ISR_INIT = 1u << 7;
inline constexpr std::uint32_t ISR_UNPROTECTED = 0x3F00;  // ISR[13:8] ignore the write protection
}  // namespace rtc_reg

// RCC BDCR / CSR bits owned by this model.
namespace bdcr {
inline constexpr std::uint32_t LSEON = 1u << 0;
inline constexpr std::uint32_t LSERDY = 1u << 1;
inline constexpr std::uint32_t LSEBYP = 1u << 2;
inline constexpr std::uint32_t RTCSEL = 3u << 8;
inline constexpr std::uint32_t RTCEN = 1u << 15;
inline constexpr std::uint32_t BDRST = 1u << 16;
}  // namespace bdcr
namespace csr {
inline constexpr std::uint32_t LSION = 1u << 0;
inline constexpr std::uint32_t LSIRDY = 1u << 1;
inline constexpr std::uint32_t RMVF = 1u << 24;
inline constexpr std::uint32_t RESET_FLAGS = 0xFE000000u;  // BORRSTF .. LPWRRSTF
inline constexpr std::uint32_t POWER_ON_FLAGS = 0x0E000000u;  // PORRSTF, PINRSTF, BORRSTF
}  // namespace csr

class Rtc : public Peripheral, public BackupDomainHooks {
public:
  static constexpr std::uint32_t kBase = 0x40002800;
  static constexpr std::uint32_t kLseHz = 32768;
  static constexpr std::uint32_t kLsiHz = 32000;
  // LSERDY rises this many LSE periods after LSEON in bypass mode.
  static constexpr unsigned kLseStartPeriods = 4;
  // LSIRDY rises this long after LSION (the data sheet's worst case).
  static constexpr double kLsiStartUs = 40.0;

  // lse_signal: the board feeds a 32.768 kHz clock into OSC32_IN.
  explicit Rtc(bool lse_signal = true);
  ~Rtc() override;

  std::uint32_t read(std::uint32_t offset) override;
  // ISR polled while the RTC clock stands reads the same until an event.
  bool idle_repeatable(std::uint32_t offset, bool is_write) const override {
    return !is_write && offset == rtc_reg::ISR && rtcclk_hz() == 0;
  }
  std::optional<std::uint32_t> debug_peek(std::uint32_t offset) override;
  void write(std::uint32_t offset, std::uint32_t value, std::uint32_t mask) override;
  // A system reset: the backup domain (calendar, BDCR, backup registers)
  // keeps its state; the LSI (in CSR) stops, and INIT, INITF, RSF and the
  // shadow lock clear.
  void reset() override;

  // RCC BDCR and CSR, delegated here by the RCC model.
  std::uint32_t read_bdcr() override;
  void write_bdcr(std::uint32_t value, std::uint32_t mask) override;
  std::uint32_t read_csr() override;
  // While the RTC clock stands, BDCR and CSR change only at events (LSE and
  // LSI ready); a running clock moves the calendar on every access.
  bool reads_repeatable() const override { return rtcclk_hz() == 0; }
  void write_csr(std::uint32_t value, std::uint32_t mask) override;

  // --- board side ---------------------------------------------------------
  // Takes over the RCC's BDCR and CSR, follows its clock changes and tells it
  // when LSERDY, LSIRDY or the RTC clock selection change.
  void connect(Rcc& rcc);
  // Backup-domain write access (PWR CR DBP). Without a source the domain is
  // writable, for tests of the model alone.
  void set_write_access(std::function<bool()> dbp) { dbp_ = std::move(dbp); }
  // The 32.768 kHz signal appears or goes away.
  void set_lse_signal(bool present);
  // Must be called when HCLK changes (connect() arranges it), so elapsed
  // cycles before the change convert at the old rate.
  void clocks_changed() { sync(); }

  // --- observation --------------------------------------------------------
  BcdCalendar calendar();          // the calendar counters now
  bool pm();                       // TR PM bit of the counters
  std::uint32_t rtcclk_hz() const; // the running RTC clock, 0 when none
  bool write_protected() const { return wpr_ != Wpr::kUnlocked; }
  bool init_mode() const { return init_; }

protected:
  void on_attach() override;

private:
  enum class Wpr { kLocked, kKey1, kUnlocked };

  void sync();                         // brings the calendar up to now()
  void advance(std::uint64_t rtc_ticks);
  void update_shadow();
  void reset_backup_domain();
  bool writable_domain(const char* what) const;
  bool unlocked(const char* what) const;
  void write_isr(std::uint32_t value);
  void update_lse();
  void schedule_lse_ready();
  std::uint32_t tr_image() const;
  std::uint32_t dr_image() const;
  bool initf() const { return init_ && rtc_cycles_ >= init_request_ + 2; }
  void note(const std::string& what) const;
  void tell_rcc(int ready_flag);  // -1: only the selection changed

  bool attached_ = false;
  bool lse_signal_;
  std::function<bool()> dbp_;
  Rcc* rcc_ = nullptr;

  // RCC side.
  std::uint32_t bdcr_ = 0;
  std::uint32_t csr_ = csr::POWER_ON_FLAGS;
  Scheduler::Handle lse_event_ = 0, lsi_event_ = 0;

  // Time conversion.
  cycles_t last_sync_ = 0;
  std::uint32_t hclk_ = 0;
  unsigned __int128 frac_ = 0;       // remainder of RTCCLK cycles, in 1/hclk_ units
  std::uint64_t rtc_cycles_ = 0;     // RTCCLK edges since power-up
  std::uint64_t presc_ = 0;          // prescaler count within the current second

  // RTC block.
  BcdCalendar cal_;
  bool pm_ = false;
  std::uint32_t cr_ = 0, isr_ = 0x7, prer_ = 0x007F00FF;
  std::array<std::uint32_t, rtc_reg::kBackupRegisters> bkp_{};
  Wpr wpr_ = Wpr::kLocked;
  bool init_ = false;
  std::uint64_t init_request_ = 0;   // RTCCLK count when INIT was set
  std::uint64_t next_copy_ = 2;      // RTCCLK count of the next shadow copy
  std::uint32_t shadow_tr_ = 0, shadow_dr_ = 0x2101;
  bool shadow_locked_ = false;       // a TR read froze the shadows until DR is read
};

}  // namespace vb
