// Real-time clock (RTC) in the backup domain, STM32F40x.
#pragma once
#include "mcu/mmio.hpp"

struct RTC_Regs {
  mcu::reg32 TR;        // 0x00 time (BCD)
  mcu::reg32 DR;        // 0x04 date (BCD)
  mcu::reg32 CR;        // 0x08 control
  mcu::reg32 ISR;       // 0x0C initialisation and status
  mcu::reg32 PRER;      // 0x10 prescaler
  mcu::reg32 WUTR;      // 0x14 wake-up timer
  mcu::reg32 CALIBR;    // 0x18 coarse calibration
  mcu::reg32 ALRMAR;    // 0x1C alarm A
  mcu::reg32 ALRMBR;    // 0x20 alarm B
  mcu::reg32 WPR;       // 0x24 write protection
  mcu::reg32 SSR;       // 0x28 sub-second
  mcu::reg32 SHIFTR;    // 0x2C shift control
  mcu::reg32 TSTR;      // 0x30 time stamp time
  mcu::reg32 TSDR;      // 0x34 time stamp date
  mcu::reg32 TSSSR;     // 0x38 time stamp sub-second
  mcu::reg32 CALR;      // 0x3C smooth calibration
  mcu::reg32 TAFCR;     // 0x40 tamper and alternate function configuration
  mcu::reg32 ALRMASSR;  // 0x44 alarm A sub-second
  mcu::reg32 ALRMBSSR;  // 0x48 alarm B sub-second
  std::uint32_t reserved0;
  mcu::reg32 BKPR[20];  // 0x50 backup registers BKP0R-BKP19R
};
static_assert(offsetof(RTC_Regs, ISR) == 0x0C);
static_assert(offsetof(RTC_Regs, WPR) == 0x24);
static_assert(offsetof(RTC_Regs, TAFCR) == 0x40);
static_assert(offsetof(RTC_Regs, BKPR) == 0x50);
static_assert(sizeof(RTC_Regs) == 0xA0);

inline constexpr mcu::Block<RTC_Regs, 0x40002800> RTC{};

// WPR unlock sequence; any other value locks again.
inline constexpr std::uint32_t RTC_WPR_KEY1 = 0xCA;
inline constexpr std::uint32_t RTC_WPR_KEY2 = 0x53;

// CR
inline constexpr std::uint32_t RTC_CR_WUCKSEL = 7u << 0;
inline constexpr std::uint32_t RTC_CR_TSEDGE = 1u << 3;
inline constexpr std::uint32_t RTC_CR_REFCKON = 1u << 4;
inline constexpr std::uint32_t RTC_CR_BYPSHAD = 1u << 5;     // read TR/DR directly, not the shadows
inline constexpr std::uint32_t RTC_CR_FMT = 1u << 6;         // 12-hour (AM/PM) format
inline constexpr std::uint32_t RTC_CR_DCE = 1u << 7;
inline constexpr std::uint32_t RTC_CR_ALRAE = 1u << 8;
inline constexpr std::uint32_t RTC_CR_ALRBE = 1u << 9;
inline constexpr std::uint32_t RTC_CR_WUTE = 1u << 10;

// ISR
inline constexpr std::uint32_t RTC_ISR_ALRAWF = 1u << 0;
inline constexpr std::uint32_t RTC_ISR_ALRBWF = 1u << 1;
inline constexpr std::uint32_t RTC_ISR_WUTWF = 1u << 2;
inline constexpr std::uint32_t RTC_ISR_SHPF = 1u << 3;
inline constexpr std::uint32_t RTC_ISR_INITS = 1u << 4;      // calendar has been initialised
inline constexpr std::uint32_t RTC_ISR_RSF = 1u << 5;        // shadow registers synchronised
inline constexpr std::uint32_t RTC_ISR_INITF = 1u << 6;      // initialisation mode entered
inline constexpr std::uint32_t RTC_ISR_INIT = 1u << 7;       // request initialisation mode
inline constexpr std::uint32_t RTC_ISR_ALRAF = 1u << 8;

// TR fields (BCD)
inline constexpr std::uint32_t RTC_TR_SU = 0xFu << 0;        // seconds units
inline constexpr std::uint32_t RTC_TR_ST = 0x7u << 4;        // seconds tens
inline constexpr std::uint32_t RTC_TR_MNU = 0xFu << 8;       // minutes units
inline constexpr std::uint32_t RTC_TR_MNT = 0x7u << 12;      // minutes tens
inline constexpr std::uint32_t RTC_TR_HU = 0xFu << 16;       // hours units
inline constexpr std::uint32_t RTC_TR_HT = 0x3u << 20;       // hours tens
inline constexpr std::uint32_t RTC_TR_PM = 1u << 22;         // PM in 12-hour format
inline constexpr std::uint32_t RTC_TR_MASK = 0x007F7F7F;

// DR fields (BCD)
inline constexpr std::uint32_t RTC_DR_DU = 0xFu << 0;        // day units
inline constexpr std::uint32_t RTC_DR_DT = 0x3u << 4;        // day tens
inline constexpr std::uint32_t RTC_DR_MU = 0xFu << 8;        // month units
inline constexpr std::uint32_t RTC_DR_MT = 1u << 12;         // month tens
inline constexpr std::uint32_t RTC_DR_WDU_Pos = 13;          // weekday, 1 = Monday ... 7 = Sunday
inline constexpr std::uint32_t RTC_DR_WDU = 0x7u << 13;
inline constexpr std::uint32_t RTC_DR_YU = 0xFu << 16;       // year units
inline constexpr std::uint32_t RTC_DR_YT = 0xFu << 20;       // year tens
inline constexpr std::uint32_t RTC_DR_MASK = 0x00FFFF3F;
