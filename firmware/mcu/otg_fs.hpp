// USB on-the-go full-speed core (OTG_FS), STM32F40x. The core's register
// space at 0x50000000 is split into blocks: global registers, host registers
// and host port, host channels, device registers, IN and OUT endpoint
// registers (0x20 bytes per endpoint), the power and clock gating register,
// and one 4 KiB data FIFO window per endpoint/channel.
#pragma once
#include "mcu/mmio.hpp"

inline constexpr std::uintptr_t OTG_FS_BASE = 0x50000000;
inline constexpr std::uintptr_t OTG_FS_GLOBAL_OFFSET = 0x000;
inline constexpr std::uintptr_t OTG_FS_HOST_OFFSET = 0x400;
inline constexpr std::uintptr_t OTG_FS_HPRT_OFFSET = 0x440;
inline constexpr std::uintptr_t OTG_FS_HOST_CHANNEL_OFFSET = 0x500;
inline constexpr std::uintptr_t OTG_FS_DEVICE_OFFSET = 0x800;
inline constexpr std::uintptr_t OTG_FS_INEP_OFFSET = 0x900;
inline constexpr std::uintptr_t OTG_FS_OUTEP_OFFSET = 0xB00;
inline constexpr std::uintptr_t OTG_FS_EP_STRIDE = 0x20;
inline constexpr std::uintptr_t OTG_FS_PCGCCTL_OFFSET = 0xE00;
inline constexpr std::uintptr_t OTG_FS_FIFO_OFFSET = 0x1000;   // FIFO n at 0x1000 * (n + 1)
inline constexpr std::uintptr_t OTG_FS_FIFO_SIZE = 0x1000;
inline constexpr unsigned OTG_FS_DEV_ENDPOINTS = 4;
inline constexpr unsigned OTG_FS_HOST_CHANNELS = 8;
inline constexpr unsigned OTG_FS_FIFO_WORDS = 320;             // 1.25 KiB packet RAM

struct OTG_FS_Global_Regs {
  mcu::reg32 GOTGCTL;             // 0x000 OTG control and status
  mcu::reg32 GOTGINT;             // 0x004 OTG interrupt
  mcu::reg32 GAHBCFG;             // 0x008 AHB configuration
  mcu::reg32 GUSBCFG;             // 0x00C USB configuration
  mcu::reg32 GRSTCTL;             // 0x010 reset
  mcu::reg32 GINTSTS;             // 0x014 core interrupt
  mcu::reg32 GINTMSK;             // 0x018 interrupt mask
  mcu::reg32 GRXSTSR;             // 0x01C receive status debug read
  mcu::reg32 GRXSTSP;             // 0x020 receive status read and pop
  mcu::reg32 GRXFSIZ;             // 0x024 receive FIFO size
  mcu::reg32 DIEPTXF0_HNPTXFSIZ;  // 0x028 endpoint 0 / non-periodic transmit FIFO size
  mcu::reg32 HNPTXSTS;            // 0x02C non-periodic transmit FIFO/queue status
  std::uint32_t reserved0[2];
  mcu::reg32 GCCFG;               // 0x038 general core configuration
  mcu::reg32 CID;                 // 0x03C core ID
  std::uint32_t reserved1[48];
  mcu::reg32 HPTXFSIZ;            // 0x100 host periodic transmit FIFO size
  mcu::reg32 DIEPTXF[3];          // 0x104 IN endpoint 1-3 transmit FIFO size
  std::uint32_t reserved2[188];
};
static_assert(offsetof(OTG_FS_Global_Regs, GINTSTS) == 0x014);
static_assert(offsetof(OTG_FS_Global_Regs, GRXFSIZ) == 0x024);
static_assert(offsetof(OTG_FS_Global_Regs, DIEPTXF0_HNPTXFSIZ) == 0x028);
static_assert(offsetof(OTG_FS_Global_Regs, GCCFG) == 0x038);
static_assert(offsetof(OTG_FS_Global_Regs, CID) == 0x03C);
static_assert(offsetof(OTG_FS_Global_Regs, HPTXFSIZ) == 0x100);
static_assert(offsetof(OTG_FS_Global_Regs, DIEPTXF) == 0x104);
static_assert(sizeof(OTG_FS_Global_Regs) == 0x400);

struct OTG_FS_Host_Regs {
  mcu::reg32 HCFG;      // 0x400 host configuration
  mcu::reg32 HFIR;      // 0x404 host frame interval
  mcu::reg32 HFNUM;     // 0x408 host frame number / time remaining
  std::uint32_t reserved0;
  mcu::reg32 HPTXSTS;   // 0x410 periodic transmit FIFO/queue status
  mcu::reg32 HAINT;     // 0x414 all channels interrupt
  mcu::reg32 HAINTMSK;  // 0x418 all channels interrupt mask
};
static_assert(offsetof(OTG_FS_Host_Regs, HAINTMSK) == 0x018);

struct OTG_FS_HostChannel_Regs {
  mcu::reg32 HCCHAR;    // +0x00 characteristics
  std::uint32_t reserved0;
  mcu::reg32 HCINT;     // +0x08 interrupt
  mcu::reg32 HCINTMSK;  // +0x0C interrupt mask
  mcu::reg32 HCTSIZ;    // +0x10 transfer size
  std::uint32_t reserved1[3];
};
static_assert(sizeof(OTG_FS_HostChannel_Regs) == OTG_FS_EP_STRIDE);

struct OTG_FS_Device_Regs {
  mcu::reg32 DCFG;        // 0x800 device configuration
  mcu::reg32 DCTL;        // 0x804 device control
  mcu::reg32 DSTS;        // 0x808 device status
  std::uint32_t reserved0;
  mcu::reg32 DIEPMSK;     // 0x810 IN endpoint common interrupt mask
  mcu::reg32 DOEPMSK;     // 0x814 OUT endpoint common interrupt mask
  mcu::reg32 DAINT;       // 0x818 all endpoints interrupt
  mcu::reg32 DAINTMSK;    // 0x81C all endpoints interrupt mask
  std::uint32_t reserved1[2];
  mcu::reg32 DVBUSDIS;    // 0x828 VBUS discharge time
  mcu::reg32 DVBUSPULSE;  // 0x82C VBUS pulsing time
  std::uint32_t reserved2;
  mcu::reg32 DIEPEMPMSK;  // 0x834 IN endpoint FIFO empty interrupt mask
  std::uint32_t reserved3[50];
};
static_assert(offsetof(OTG_FS_Device_Regs, DIEPMSK) == 0x010);
static_assert(offsetof(OTG_FS_Device_Regs, DAINTMSK) == 0x01C);
static_assert(offsetof(OTG_FS_Device_Regs, DIEPEMPMSK) == 0x034);
static_assert(sizeof(OTG_FS_Device_Regs) == 0x100);

struct OTG_FS_INEP_Regs {
  mcu::reg32 DIEPCTL;   // +0x00 control
  std::uint32_t reserved0;
  mcu::reg32 DIEPINT;   // +0x08 interrupt
  std::uint32_t reserved1;
  mcu::reg32 DIEPTSIZ;  // +0x10 transfer size
  std::uint32_t reserved2;
  mcu::reg32 DTXFSTS;   // +0x18 transmit FIFO status
  std::uint32_t reserved3;
};
static_assert(offsetof(OTG_FS_INEP_Regs, DIEPTSIZ) == 0x10);
static_assert(offsetof(OTG_FS_INEP_Regs, DTXFSTS) == 0x18);
static_assert(sizeof(OTG_FS_INEP_Regs) == OTG_FS_EP_STRIDE);

struct OTG_FS_OUTEP_Regs {
  mcu::reg32 DOEPCTL;   // +0x00 control
  std::uint32_t reserved0;
  mcu::reg32 DOEPINT;   // +0x08 interrupt
  std::uint32_t reserved1;
  mcu::reg32 DOEPTSIZ;  // +0x10 transfer size
  std::uint32_t reserved2[3];
};
static_assert(offsetof(OTG_FS_OUTEP_Regs, DOEPTSIZ) == 0x10);
static_assert(sizeof(OTG_FS_OUTEP_Regs) == OTG_FS_EP_STRIDE);

inline constexpr mcu::Block<OTG_FS_Global_Regs, OTG_FS_BASE + OTG_FS_GLOBAL_OFFSET> OTG_FS_GLOBAL{};
inline constexpr mcu::Block<OTG_FS_Host_Regs, OTG_FS_BASE + OTG_FS_HOST_OFFSET> OTG_FS_HOST{};
inline constexpr mcu::Block<OTG_FS_Device_Regs, OTG_FS_BASE + OTG_FS_DEVICE_OFFSET> OTG_FS_DEVICE{};

// Addresses of the per-endpoint blocks and windows.
constexpr std::uintptr_t otg_fs_inep_address(unsigned n) {
  return OTG_FS_BASE + OTG_FS_INEP_OFFSET + OTG_FS_EP_STRIDE * n;
}
constexpr std::uintptr_t otg_fs_outep_address(unsigned n) {
  return OTG_FS_BASE + OTG_FS_OUTEP_OFFSET + OTG_FS_EP_STRIDE * n;
}
constexpr std::uintptr_t otg_fs_host_channel_address(unsigned n) {
  return OTG_FS_BASE + OTG_FS_HOST_CHANNEL_OFFSET + OTG_FS_EP_STRIDE * n;
}
constexpr std::uintptr_t otg_fs_fifo_address(unsigned n) {
  return OTG_FS_BASE + OTG_FS_FIFO_OFFSET + OTG_FS_FIFO_SIZE * n;
}
static_assert(otg_fs_inep_address(1) == 0x50000920);
static_assert(otg_fs_outep_address(3) == 0x50000B60);
static_assert(otg_fs_fifo_address(0) == 0x50001000 && otg_fs_fifo_address(3) == 0x50004000);

inline OTG_FS_INEP_Regs* otg_fs_inep(unsigned n) {
  return reinterpret_cast<OTG_FS_INEP_Regs*>(otg_fs_inep_address(n));
}
inline OTG_FS_OUTEP_Regs* otg_fs_outep(unsigned n) {
  return reinterpret_cast<OTG_FS_OUTEP_Regs*>(otg_fs_outep_address(n));
}
inline OTG_FS_HostChannel_Regs* otg_fs_host_channel(unsigned n) {
  return reinterpret_cast<OTG_FS_HostChannel_Regs*>(otg_fs_host_channel_address(n));
}
// A word access anywhere in the window pushes to (write) or pops from (read)
// the FIFO of endpoint n.
inline mcu::reg32* otg_fs_fifo(unsigned n) {
  return reinterpret_cast<mcu::reg32*>(otg_fs_fifo_address(n));
}
inline mcu::reg32* otg_fs_hprt() {
  return reinterpret_cast<mcu::reg32*>(OTG_FS_BASE + OTG_FS_HPRT_OFFSET);
}
inline mcu::reg32* otg_fs_pcgcctl() {
  return reinterpret_cast<mcu::reg32*>(OTG_FS_BASE + OTG_FS_PCGCCTL_OFFSET);
}

// GOTGINT
inline constexpr std::uint32_t OTG_GOTGINT_SEDET = 1u << 2;        // session end detected
// GAHBCFG
inline constexpr std::uint32_t OTG_GAHBCFG_GINTMSK = 1u << 0;      // global interrupt enable
inline constexpr std::uint32_t OTG_GAHBCFG_TXFELVL = 1u << 7;      // TXFE when completely empty
inline constexpr std::uint32_t OTG_GAHBCFG_PTXFELVL = 1u << 8;
// GUSBCFG
inline constexpr std::uint32_t OTG_GUSBCFG_TOCAL = 7u << 0;
inline constexpr std::uint32_t OTG_GUSBCFG_PHYSEL = 1u << 6;       // full-speed serial transceiver
inline constexpr std::uint32_t OTG_GUSBCFG_SRPCAP = 1u << 8;
inline constexpr std::uint32_t OTG_GUSBCFG_HNPCAP = 1u << 9;
inline constexpr std::uint32_t OTG_GUSBCFG_TRDT_Pos = 10;          // turnaround time, 4 bits
inline constexpr std::uint32_t OTG_GUSBCFG_TRDT = 0xFu << 10;
inline constexpr std::uint32_t OTG_GUSBCFG_FHMOD = 1u << 29;       // force host mode
inline constexpr std::uint32_t OTG_GUSBCFG_FDMOD = 1u << 30;       // force device mode
// GRSTCTL
inline constexpr std::uint32_t OTG_GRSTCTL_CSRST = 1u << 0;        // core soft reset
inline constexpr std::uint32_t OTG_GRSTCTL_HSRST = 1u << 1;
inline constexpr std::uint32_t OTG_GRSTCTL_FCRST = 1u << 2;
inline constexpr std::uint32_t OTG_GRSTCTL_RXFFLSH = 1u << 4;      // receive FIFO flush
inline constexpr std::uint32_t OTG_GRSTCTL_TXFFLSH = 1u << 5;      // transmit FIFO flush
inline constexpr std::uint32_t OTG_GRSTCTL_TXFNUM_Pos = 6;         // FIFO to flush; 0x10 = all
inline constexpr std::uint32_t OTG_GRSTCTL_TXFNUM = 0x1Fu << 6;
inline constexpr std::uint32_t OTG_GRSTCTL_AHBIDL = 1u << 31;      // AHB master idle
// GINTSTS / GINTMSK
inline constexpr std::uint32_t OTG_GINT_CMOD = 1u << 0;            // current mode (1 = host)
inline constexpr std::uint32_t OTG_GINT_MMIS = 1u << 1;            // mode mismatch
inline constexpr std::uint32_t OTG_GINT_OTGINT = 1u << 2;          // OTG event (see GOTGINT)
inline constexpr std::uint32_t OTG_GINT_SOF = 1u << 3;             // start of frame
inline constexpr std::uint32_t OTG_GINT_RXFLVL = 1u << 4;          // receive FIFO non-empty
inline constexpr std::uint32_t OTG_GINT_NPTXFE = 1u << 5;
inline constexpr std::uint32_t OTG_GINT_GINAKEFF = 1u << 6;
inline constexpr std::uint32_t OTG_GINT_GONAKEFF = 1u << 7;
inline constexpr std::uint32_t OTG_GINT_ESUSP = 1u << 10;
inline constexpr std::uint32_t OTG_GINT_USBSUSP = 1u << 11;        // suspend
inline constexpr std::uint32_t OTG_GINT_USBRST = 1u << 12;         // bus reset
inline constexpr std::uint32_t OTG_GINT_ENUMDNE = 1u << 13;        // enumeration (speed) done
inline constexpr std::uint32_t OTG_GINT_ISOODRP = 1u << 14;
inline constexpr std::uint32_t OTG_GINT_EOPF = 1u << 15;
inline constexpr std::uint32_t OTG_GINT_IEPINT = 1u << 18;         // IN endpoint event
inline constexpr std::uint32_t OTG_GINT_OEPINT = 1u << 19;         // OUT endpoint event
inline constexpr std::uint32_t OTG_GINT_IISOIXFR = 1u << 20;       // incomplete isochronous IN
inline constexpr std::uint32_t OTG_GINT_INCOMPISOOUT = 1u << 21;   // incomplete isochronous OUT
inline constexpr std::uint32_t OTG_GINT_HPRTINT = 1u << 24;
inline constexpr std::uint32_t OTG_GINT_HCINT = 1u << 25;
inline constexpr std::uint32_t OTG_GINT_PTXFE = 1u << 26;
inline constexpr std::uint32_t OTG_GINT_CIDSCHG = 1u << 28;
inline constexpr std::uint32_t OTG_GINT_DISCINT = 1u << 29;
inline constexpr std::uint32_t OTG_GINT_SRQINT = 1u << 30;         // session request (VBUS valid)
inline constexpr std::uint32_t OTG_GINT_WKUPINT = 1u << 31;        // resume / remote wake-up
// GRXSTSR / GRXSTSP (device mode)
inline constexpr std::uint32_t OTG_GRXSTS_EPNUM = 0xFu << 0;
inline constexpr std::uint32_t OTG_GRXSTS_BCNT_Pos = 4;
inline constexpr std::uint32_t OTG_GRXSTS_BCNT = 0x7FFu << 4;
inline constexpr std::uint32_t OTG_GRXSTS_DPID = 3u << 15;
inline constexpr std::uint32_t OTG_GRXSTS_PKTSTS_Pos = 17;
inline constexpr std::uint32_t OTG_GRXSTS_PKTSTS = 0xFu << 17;
inline constexpr std::uint32_t OTG_PKTSTS_GOUTNAK = 1;         // global OUT NAK
inline constexpr std::uint32_t OTG_PKTSTS_OUT_DATA = 2;        // OUT data packet received
inline constexpr std::uint32_t OTG_PKTSTS_OUT_DONE = 3;        // OUT transfer completed
inline constexpr std::uint32_t OTG_PKTSTS_SETUP_DONE = 4;      // SETUP transaction completed
inline constexpr std::uint32_t OTG_PKTSTS_SETUP_DATA = 6;      // SETUP data packet received
// GCCFG
inline constexpr std::uint32_t OTG_GCCFG_PWRDWN = 1u << 16;        // transceiver powered
inline constexpr std::uint32_t OTG_GCCFG_VBUSASEN = 1u << 18;      // VBUS sensing "A" device
inline constexpr std::uint32_t OTG_GCCFG_VBUSBSEN = 1u << 19;      // VBUS sensing "B" device
inline constexpr std::uint32_t OTG_GCCFG_SOFOUTEN = 1u << 20;      // SOF pulse output
inline constexpr std::uint32_t OTG_GCCFG_NOVBUSSENS = 1u << 21;
// Transmit FIFO size registers: start address (words) low, depth (words) high.
constexpr std::uint32_t otg_txfsiz(std::uint32_t start, std::uint32_t depth) {
  return start | (depth << 16);
}

// DCFG
inline constexpr std::uint32_t OTG_DCFG_DSPD = 3u << 0;            // device speed; 3 = full speed
inline constexpr std::uint32_t OTG_DCFG_NZLSOHSK = 1u << 2;
inline constexpr std::uint32_t OTG_DCFG_DAD_Pos = 4;               // device address, 7 bits
inline constexpr std::uint32_t OTG_DCFG_DAD = 0x7Fu << 4;
inline constexpr std::uint32_t OTG_DCFG_PFIVL = 3u << 11;          // periodic frame interval
// DCTL
inline constexpr std::uint32_t OTG_DCTL_RWUSIG = 1u << 0;          // remote wake-up signalling
inline constexpr std::uint32_t OTG_DCTL_SDIS = 1u << 1;            // soft disconnect
inline constexpr std::uint32_t OTG_DCTL_GINSTS = 1u << 2;
inline constexpr std::uint32_t OTG_DCTL_GONSTS = 1u << 3;
inline constexpr std::uint32_t OTG_DCTL_TCTL = 7u << 4;            // test control
inline constexpr std::uint32_t OTG_DCTL_SGINAK = 1u << 7;
inline constexpr std::uint32_t OTG_DCTL_CGINAK = 1u << 8;          // clear global IN NAK
inline constexpr std::uint32_t OTG_DCTL_SGONAK = 1u << 9;
inline constexpr std::uint32_t OTG_DCTL_CGONAK = 1u << 10;
inline constexpr std::uint32_t OTG_DCTL_POPRGDNE = 1u << 11;
// DSTS
inline constexpr std::uint32_t OTG_DSTS_SUSPSTS = 1u << 0;         // suspended
inline constexpr std::uint32_t OTG_DSTS_ENUMSPD = 3u << 1;         // enumerated speed; 3 = full
inline constexpr std::uint32_t OTG_DSTS_ENUMSPD_Pos = 1;
inline constexpr std::uint32_t OTG_DSTS_EERR = 1u << 3;
inline constexpr std::uint32_t OTG_DSTS_FNSOF_Pos = 8;             // frame number of last SOF
inline constexpr std::uint32_t OTG_DSTS_FNSOF = 0x3FFFu << 8;
// DIEPMSK
inline constexpr std::uint32_t OTG_DIEPMSK_XFRCM = 1u << 0;
inline constexpr std::uint32_t OTG_DIEPMSK_EPDM = 1u << 1;
inline constexpr std::uint32_t OTG_DIEPMSK_TOM = 1u << 3;
inline constexpr std::uint32_t OTG_DIEPMSK_ITTXFEMSK = 1u << 4;
inline constexpr std::uint32_t OTG_DIEPMSK_INEPNMM = 1u << 5;
inline constexpr std::uint32_t OTG_DIEPMSK_INEPNEM = 1u << 6;
inline constexpr std::uint32_t OTG_DIEPMSK_TXFURM = 1u << 8;       // FIFO underrun
// DOEPMSK
inline constexpr std::uint32_t OTG_DOEPMSK_XFRCM = 1u << 0;
inline constexpr std::uint32_t OTG_DOEPMSK_EPDM = 1u << 1;
inline constexpr std::uint32_t OTG_DOEPMSK_STUPM = 1u << 3;
inline constexpr std::uint32_t OTG_DOEPMSK_OTEPDM = 1u << 4;
// DAINT / DAINTMSK: IN endpoint n at bit n, OUT endpoint n at bit 16 + n.
constexpr std::uint32_t otg_daint_in(unsigned n) { return 1u << n; }
constexpr std::uint32_t otg_daint_out(unsigned n) { return 1u << (16 + n); }

// DIEPCTL / DOEPCTL
inline constexpr std::uint32_t OTG_DEPCTL_MPSIZ = 0x7FFu << 0;     // maximum packet size
inline constexpr std::uint32_t OTG_DEPCTL0_MPSIZ = 3u << 0;        // endpoint 0: 0=64 ... 3=8 bytes
inline constexpr std::uint32_t OTG_DEPCTL_USBAEP = 1u << 15;       // endpoint active
inline constexpr std::uint32_t OTG_DEPCTL_DPID = 1u << 16;         // data PID / even-odd frame
inline constexpr std::uint32_t OTG_DEPCTL_NAKSTS = 1u << 17;
inline constexpr std::uint32_t OTG_DEPCTL_EPTYP_Pos = 18;          // 0 control, 1 iso, 2 bulk, 3 intr
inline constexpr std::uint32_t OTG_DEPCTL_EPTYP = 3u << 18;
inline constexpr std::uint32_t OTG_DEPCTL_SNPM = 1u << 20;         // snoop mode (OUT)
inline constexpr std::uint32_t OTG_DEPCTL_STALL = 1u << 21;
inline constexpr std::uint32_t OTG_DEPCTL_TXFNUM_Pos = 22;         // transmit FIFO (IN)
inline constexpr std::uint32_t OTG_DEPCTL_TXFNUM = 0xFu << 22;
inline constexpr std::uint32_t OTG_DEPCTL_CNAK = 1u << 26;         // clear NAK
inline constexpr std::uint32_t OTG_DEPCTL_SNAK = 1u << 27;         // set NAK
inline constexpr std::uint32_t OTG_DEPCTL_SD0PID = 1u << 28;       // DATA0 / even frame
inline constexpr std::uint32_t OTG_DEPCTL_SODDFRM = 1u << 29;      // DATA1 / odd frame
inline constexpr std::uint32_t OTG_DEPCTL_EPDIS = 1u << 30;        // endpoint disable
inline constexpr std::uint32_t OTG_DEPCTL_EPENA = 1u << 31;        // endpoint enable
// DIEPINT
inline constexpr std::uint32_t OTG_DIEPINT_XFRC = 1u << 0;         // transfer completed
inline constexpr std::uint32_t OTG_DIEPINT_EPDISD = 1u << 1;       // endpoint disabled
inline constexpr std::uint32_t OTG_DIEPINT_TOC = 1u << 3;          // time-out
inline constexpr std::uint32_t OTG_DIEPINT_ITTXFE = 1u << 4;
inline constexpr std::uint32_t OTG_DIEPINT_INEPNE = 1u << 6;
inline constexpr std::uint32_t OTG_DIEPINT_TXFE = 1u << 7;         // transmit FIFO empty
// DOEPINT
inline constexpr std::uint32_t OTG_DOEPINT_XFRC = 1u << 0;
inline constexpr std::uint32_t OTG_DOEPINT_EPDISD = 1u << 1;
inline constexpr std::uint32_t OTG_DOEPINT_STUP = 1u << 3;         // SETUP phase done
inline constexpr std::uint32_t OTG_DOEPINT_OTEPDIS = 1u << 4;
inline constexpr std::uint32_t OTG_DOEPINT_B2BSTUP = 1u << 6;
// DIEPTSIZ / DOEPTSIZ
inline constexpr std::uint32_t OTG_DEPTSIZ_XFRSIZ = 0x7FFFFu << 0;  // transfer size in bytes
inline constexpr std::uint32_t OTG_DEPTSIZ_PKTCNT_Pos = 19;
inline constexpr std::uint32_t OTG_DEPTSIZ_PKTCNT = 0x3FFu << 19;   // packet count
inline constexpr std::uint32_t OTG_DEPTSIZ_MCNT_Pos = 29;           // IN: packets per frame
inline constexpr std::uint32_t OTG_DEPTSIZ_MCNT = 3u << 29;
inline constexpr std::uint32_t OTG_DEPTSIZ0_XFRSIZ = 0x7Fu << 0;    // endpoint 0
inline constexpr std::uint32_t OTG_DIEPTSIZ0_PKTCNT = 3u << 19;
inline constexpr std::uint32_t OTG_DOEPTSIZ0_PKTCNT = 1u << 19;
inline constexpr std::uint32_t OTG_DOEPTSIZ0_STUPCNT_Pos = 29;      // back-to-back SETUP count
inline constexpr std::uint32_t OTG_DOEPTSIZ0_STUPCNT = 3u << 29;
// DTXFSTS
inline constexpr std::uint32_t OTG_DTXFSTS_INEPTFSAV = 0xFFFFu;     // free words in the FIFO
// PCGCCTL
inline constexpr std::uint32_t OTG_PCGCCTL_STPPCLK = 1u << 0;       // stop PHY clock
inline constexpr std::uint32_t OTG_PCGCCTL_GATEHCLK = 1u << 1;      // gate HCLK
inline constexpr std::uint32_t OTG_PCGCCTL_PHYSUSP = 1u << 4;
