// OTG full-speed core driver: core selection, reset and device-mode
// initialisation with the packet FIFO layout, FIFO access and the endpoint
// operations. Called at start-up and from the OTG_FS interrupt.
#include "usb/usb_core.hpp"

#include "system/systick.hpp"

namespace {

constexpr std::uint32_t kPollLimit = 200000;
constexpr std::uint32_t kCoreBaseFs = OTG_FS_BASE;

// Packet FIFO layout in 32-bit words: receive FIFO first, then one transmit
// FIFO per IN endpoint; the total is the whole 320-word RAM.
constexpr std::uint32_t kRxFifoDepth = 128;
constexpr std::uint32_t kTx0Start = 128, kTx0Depth = 32;
constexpr std::uint32_t kTx1Start = 160, kTx1Depth = 128;
constexpr std::uint32_t kTx2Start = 288, kTx2Depth = 32;
constexpr std::uint32_t kTx3Start = 320, kTx3Depth = 0;
static_assert(kRxFifoDepth + kTx0Depth + kTx1Depth + kTx2Depth + kTx3Depth == OTG_FS_FIFO_WORDS);
static_assert(otg_txfsiz(kTx0Start, kTx0Depth) == 0x00200080);
static_assert(otg_txfsiz(kTx1Start, kTx1Depth) == 0x008000A0);
static_assert(otg_txfsiz(kTx2Start, kTx2Depth) == 0x00200120);
static_assert(otg_txfsiz(kTx3Start, kTx3Depth) == 0x00000140);

constexpr std::uint32_t ceil_div(std::uint32_t a, std::uint32_t b) { return (a + b - 1) / b; }

// Waits for the AHB master to idle, then pulses the core soft reset.
void core_reset(USB_OTG_CORE_HANDLE* pdev) {
  OTG_FS_Global_Regs* g = pdev->regs.GREGS;
  std::uint32_t count = 0;
  do {
    delay_usec(3);
    if (++count > kPollLimit) return;
  } while ((g->GRSTCTL & OTG_GRSTCTL_AHBIDL) == 0);
  g->GRSTCTL = g->GRSTCTL | OTG_GRSTCTL_CSRST;
  count = 0;
  while ((g->GRSTCTL & OTG_GRSTCTL_CSRST) != 0 && ++count <= kPollLimit) {
  }
  delay_usec(3);
}

}  // namespace

extern "C" {

USB_OTG_STS USB_OTG_SelectCore(USB_OTG_CORE_HANDLE* pdev, USB_OTG_CORE_ID_TypeDef coreID) {
  std::uint32_t base = kCoreBaseFs;
  pdev->cfg.dma_enable = 0;
  pdev->cfg.speed = USB_OTG_SPEED_FULL;
  pdev->cfg.mps = 64;
  if (coreID == USB_OTG_FS_CORE_ID) {
    pdev->cfg.coreID = USB_OTG_FS_CORE_ID;
    pdev->cfg.host_channels = 8;
    pdev->cfg.dev_endpoints = 4;
    pdev->cfg.TotalFifoSize = 320;
    pdev->cfg.phy_itface = 2;  // embedded PHY
  }
  auto* regs = &pdev->regs;
  regs->GREGS = reinterpret_cast<OTG_FS_Global_Regs*>(base + OTG_FS_GLOBAL_OFFSET);
  regs->DREGS = reinterpret_cast<OTG_FS_Device_Regs*>(base + OTG_FS_DEVICE_OFFSET);
  regs->HREGS = reinterpret_cast<OTG_FS_Host_Regs*>(base + OTG_FS_HOST_OFFSET);
  for (unsigned n = 0; n < pdev->cfg.dev_endpoints; ++n) {
    regs->INEP_REGS[n] = reinterpret_cast<OTG_FS_INEP_Regs*>(base + OTG_FS_INEP_OFFSET + OTG_FS_EP_STRIDE * n);
    regs->OUTEP_REGS[n] = reinterpret_cast<OTG_FS_OUTEP_Regs*>(base + OTG_FS_OUTEP_OFFSET + OTG_FS_EP_STRIDE * n);
  }
  for (unsigned n = 0; n < pdev->cfg.host_channels; ++n) {
    regs->HC_REGS[n] =
        reinterpret_cast<OTG_FS_HostChannel_Regs*>(base + OTG_FS_HOST_CHANNEL_OFFSET + OTG_FS_EP_STRIDE * n);
    regs->DFIFO[n] = reinterpret_cast<mcu::reg32*>(base + OTG_FS_FIFO_OFFSET + OTG_FS_FIFO_SIZE * n);
  }
  regs->HPRT0 = reinterpret_cast<mcu::reg32*>(base + OTG_FS_HPRT_OFFSET);
  regs->PCGCCTL = reinterpret_cast<mcu::reg32*>(base + OTG_FS_PCGCCTL_OFFSET);
  return USB_OTG_OK;
}

USB_OTG_STS USB_OTG_CoreInit(USB_OTG_CORE_HANDLE* pdev) {
  OTG_FS_Global_Regs* g = pdev->regs.GREGS;
  g->GUSBCFG = g->GUSBCFG | OTG_GUSBCFG_PHYSEL;  // full-speed serial transceiver
  core_reset(pdev);
  // Transceiver on, VBUS sensed on PA9 for both the A and B device roles.
  std::uint32_t gccfg = OTG_GCCFG_PWRDWN | OTG_GCCFG_VBUSASEN | OTG_GCCFG_VBUSBSEN;
  if (pdev->cfg.Sof_output) gccfg |= OTG_GCCFG_SOFOUTEN;
  g->GCCFG = gccfg;
  delay_msec(20);
  return USB_OTG_OK;
}

USB_OTG_STS USB_OTG_SetCurrentMode(USB_OTG_CORE_HANDLE* pdev, std::uint8_t mode) {
  OTG_FS_Global_Regs* g = pdev->regs.GREGS;
  std::uint32_t v = g->GUSBCFG & ~(OTG_GUSBCFG_FHMOD | OTG_GUSBCFG_FDMOD);
  v |= mode == HOST_MODE ? OTG_GUSBCFG_FHMOD : OTG_GUSBCFG_FDMOD;
  g->GUSBCFG = v;
  delay_msec(50);  // the forced mode takes effect after at least 25 ms
  return USB_OTG_OK;
}

void USB_OTG_InitDevSpeed(USB_OTG_CORE_HANDLE* pdev, std::uint8_t speed) {
  OTG_FS_Device_Regs* d = pdev->regs.DREGS;
  d->DCFG = (d->DCFG & ~OTG_DCFG_DSPD) | (speed & OTG_DCFG_DSPD);
}

USB_OTG_STS USB_OTG_CoreInitDev(USB_OTG_CORE_HANDLE* pdev) {
  OTG_FS_Global_Regs* g = pdev->regs.GREGS;
  OTG_FS_Device_Regs* d = pdev->regs.DREGS;
  *pdev->regs.PCGCCTL = 0;  // PHY clock running
  d->DCFG = d->DCFG & ~OTG_DCFG_PFIVL;  // periodic frame interval 80 %
  USB_OTG_InitDevSpeed(pdev, 3);       // full speed on the embedded PHY

  g->GRXFSIZ = kRxFifoDepth;
  g->DIEPTXF0_HNPTXFSIZ = otg_txfsiz(kTx0Start, kTx0Depth);
  g->DIEPTXF[0] = otg_txfsiz(kTx1Start, kTx1Depth);
  g->DIEPTXF[1] = otg_txfsiz(kTx2Start, kTx2Depth);
  g->DIEPTXF[2] = otg_txfsiz(kTx3Start, kTx3Depth);

  USB_OTG_FlushTxFifo(pdev, 0x10);  // all transmit FIFOs
  USB_OTG_FlushRxFifo(pdev);

  d->DIEPMSK = 0;
  d->DOEPMSK = 0;
  d->DAINT = 0xFFFFFFFF;
  d->DAINTMSK = 0;
  for (unsigned n = 0; n < pdev->cfg.dev_endpoints; ++n) {
    OTG_FS_INEP_Regs* in = pdev->regs.INEP_REGS[n];
    in->DIEPCTL = (in->DIEPCTL & OTG_DEPCTL_EPENA) ? (OTG_DEPCTL_EPDIS | OTG_DEPCTL_SNAK) : 0;
    in->DIEPTSIZ = 0;
    in->DIEPINT = 0xFF;
  }
  for (unsigned n = 0; n < pdev->cfg.dev_endpoints; ++n) {
    OTG_FS_OUTEP_Regs* out = pdev->regs.OUTEP_REGS[n];
    out->DOEPCTL = (out->DOEPCTL & OTG_DEPCTL_EPENA) ? (OTG_DEPCTL_EPDIS | OTG_DEPCTL_SNAK) : 0;
    out->DOEPTSIZ = 0;
    out->DOEPINT = 0xFF;
  }
  d->DIEPMSK = d->DIEPMSK | OTG_DIEPMSK_TXFURM;
  USB_OTG_EnableDevInt(pdev);
  return USB_OTG_OK;
}

USB_OTG_STS USB_OTG_EnableDevInt(USB_OTG_CORE_HANDLE* pdev) {
  OTG_FS_Global_Regs* g = pdev->regs.GREGS;
  g->GINTMSK = 0;
  g->GINTSTS = 0xBFFFFFFF;  // everything but SRQINT
  g->GOTGINT = 0xFFFFFFFF;
  g->GINTSTS = 0xBFFFFFFF;
  g->GINTMSK = OTG_GINT_WKUPINT | OTG_GINT_USBSUSP;
  std::uint32_t m = OTG_GINT_OTGINT | OTG_GINT_SOF | OTG_GINT_USBRST | OTG_GINT_ENUMDNE | OTG_GINT_IEPINT |
                    OTG_GINT_OEPINT | OTG_GINT_IISOIXFR | OTG_GINT_INCOMPISOOUT | OTG_GINT_SRQINT;
  if (pdev->cfg.dma_enable == 0) m |= OTG_GINT_RXFLVL;
  g->GINTMSK = g->GINTMSK | m;
  return USB_OTG_OK;
}

USB_OTG_STS USB_OTG_EnableGlobalInt(USB_OTG_CORE_HANDLE* pdev) {
  pdev->regs.GREGS->GAHBCFG = pdev->regs.GREGS->GAHBCFG | OTG_GAHBCFG_GINTMSK;
  return USB_OTG_OK;
}

USB_OTG_STS USB_OTG_DisableGlobalInt(USB_OTG_CORE_HANDLE* pdev) {
  pdev->regs.GREGS->GAHBCFG = pdev->regs.GREGS->GAHBCFG & ~OTG_GAHBCFG_GINTMSK;
  return USB_OTG_OK;
}

USB_OTG_STS USB_OTG_FlushTxFifo(USB_OTG_CORE_HANDLE* pdev, std::uint32_t num) {
  OTG_FS_Global_Regs* g = pdev->regs.GREGS;
  g->GRSTCTL = OTG_GRSTCTL_TXFFLSH | ((num << OTG_GRSTCTL_TXFNUM_Pos) & OTG_GRSTCTL_TXFNUM);
  std::uint32_t count = 0;
  while ((g->GRSTCTL & OTG_GRSTCTL_TXFFLSH) != 0 && ++count <= kPollLimit) {
  }
  delay_usec(3);
  return USB_OTG_OK;
}

USB_OTG_STS USB_OTG_FlushRxFifo(USB_OTG_CORE_HANDLE* pdev) {
  OTG_FS_Global_Regs* g = pdev->regs.GREGS;
  g->GRSTCTL = OTG_GRSTCTL_RXFFLSH;
  std::uint32_t count = 0;
  while ((g->GRSTCTL & OTG_GRSTCTL_RXFFLSH) != 0 && ++count <= kPollLimit) {
  }
  delay_usec(3);
  return USB_OTG_OK;
}

// Pushes len bytes into the transmit FIFO of endpoint ch_ep_num, four per
// word, little-endian; the last word is padded without reading past src+len.
USB_OTG_STS USB_OTG_WritePacket(USB_OTG_CORE_HANDLE* pdev, const std::uint8_t* src, std::uint8_t ch_ep_num,
                                std::uint16_t len) {
  if (pdev->cfg.dma_enable != 0) return USB_OTG_OK;
  mcu::reg32* fifo = pdev->regs.DFIFO[ch_ep_num];
  const std::uint32_t words = ceil_div(len, 4);
  for (std::uint32_t i = 0; i < words; ++i) {
    std::uint32_t w = 0;
    for (unsigned b = 0; b < 4 && 4 * i + b < len; ++b) w |= std::uint32_t{src[4 * i + b]} << (8 * b);
    *fifo = w;
  }
  return USB_OTG_OK;
}

// Pops ceil(len / 4) words of the receive FIFO and stores exactly len bytes.
void* USB_OTG_ReadPacket(USB_OTG_CORE_HANDLE* pdev, std::uint8_t* dest, std::uint16_t len) {
  mcu::reg32* fifo = pdev->regs.DFIFO[0];
  const std::uint32_t words = ceil_div(len, 4);
  for (std::uint32_t i = 0; i < words; ++i) {
    const std::uint32_t w = *fifo;
    for (unsigned b = 0; b < 4 && 4 * i + b < len; ++b) dest[4 * i + b] = static_cast<std::uint8_t>(w >> (8 * b));
  }
  return dest + len;
}

std::uint8_t USB_OTG_GetMode(USB_OTG_CORE_HANDLE* pdev) { return pdev->regs.GREGS->GINTSTS & OTG_GINT_CMOD; }

std::uint8_t USB_OTG_IsDeviceMode(USB_OTG_CORE_HANDLE* pdev) { return USB_OTG_GetMode(pdev) != HOST_MODE; }

std::uint32_t USB_OTG_ReadCoreItr(USB_OTG_CORE_HANDLE* pdev) {
  return pdev->regs.GREGS->GINTSTS & pdev->regs.GREGS->GINTMSK;
}

std::uint8_t USB_OTG_GetDeviceSpeed(USB_OTG_CORE_HANDLE* pdev) {
  switch ((pdev->regs.DREGS->DSTS & OTG_DSTS_ENUMSPD) >> OTG_DSTS_ENUMSPD_Pos) {
    case 0: return USB_SPEED_HIGH;
    case 2: return USB_SPEED_LOW;
    default: return USB_SPEED_FULL;  // 1: full speed on a high-speed PHY, 3: full speed
  }
}

USB_OTG_STS USB_OTG_EP0Activate(USB_OTG_CORE_HANDLE* pdev) {
  OTG_FS_INEP_Regs* in0 = pdev->regs.INEP_REGS[0];
  const bool low_speed = ((pdev->regs.DREGS->DSTS & OTG_DSTS_ENUMSPD) >> OTG_DSTS_ENUMSPD_Pos) == 2;
  in0->DIEPCTL = (in0->DIEPCTL & ~OTG_DEPCTL0_MPSIZ) | (low_speed ? 3u : 0u);  // 8 or 64 bytes
  pdev->regs.DREGS->DCTL = pdev->regs.DREGS->DCTL | OTG_DCTL_CGINAK;
  return USB_OTG_OK;
}

USB_OTG_STS USB_OTG_EPActivate(USB_OTG_CORE_HANDLE* pdev, USB_OTG_EP* ep) {
  mcu::reg32* ctl;
  std::uint32_t daint;
  if (ep->is_in) {
    ctl = &pdev->regs.INEP_REGS[ep->num]->DIEPCTL;
    daint = otg_daint_in(ep->num);
  } else {
    ctl = &pdev->regs.OUTEP_REGS[ep->num]->DOEPCTL;
    daint = otg_daint_out(ep->num);
  }
  std::uint32_t v = *ctl;
  if ((v & OTG_DEPCTL_USBAEP) == 0) {
    v &= ~(OTG_DEPCTL_MPSIZ | OTG_DEPCTL_EPTYP | OTG_DEPCTL_TXFNUM);
    v |= (ep->maxpacket & OTG_DEPCTL_MPSIZ) | (std::uint32_t{ep->type} << OTG_DEPCTL_EPTYP_Pos) |
         ((std::uint32_t{ep->tx_fifo_num} << OTG_DEPCTL_TXFNUM_Pos) & OTG_DEPCTL_TXFNUM) | OTG_DEPCTL_SD0PID |
         OTG_DEPCTL_USBAEP;
    *ctl = v;
  }
  pdev->regs.DREGS->DAINTMSK = pdev->regs.DREGS->DAINTMSK | daint;
  return USB_OTG_OK;
}

// Closes an endpoint: a transfer still enabled on it is disabled first (an
// IN endpoint's packet also leaves its transmit FIFO), so nothing of it goes
// out or raises an interrupt later; then the endpoint is deactivated and
// its interrupts masked, FIFO-empty included.
USB_OTG_STS USB_OTG_EPDeactivate(USB_OTG_CORE_HANDLE* pdev, USB_OTG_EP* ep) {
  OTG_FS_Device_Regs* d = pdev->regs.DREGS;
  if (ep->is_in) {
    OTG_FS_INEP_Regs* in = pdev->regs.INEP_REGS[ep->num];
    if (in->DIEPCTL & OTG_DEPCTL_EPENA) in->DIEPCTL = in->DIEPCTL | OTG_DEPCTL_EPDIS | OTG_DEPCTL_SNAK;
    in->DIEPCTL = 0;
    in->DIEPTSIZ = 0;
    in->DIEPINT = 0xFF;
    d->DIEPEMPMSK = d->DIEPEMPMSK & ~(1u << ep->num);
    d->DAINTMSK = d->DAINTMSK & ~otg_daint_in(ep->num);
    USB_OTG_FlushTxFifo(pdev, ep->num);
  } else {
    OTG_FS_OUTEP_Regs* out = pdev->regs.OUTEP_REGS[ep->num];
    if (out->DOEPCTL & OTG_DEPCTL_EPENA) out->DOEPCTL = out->DOEPCTL | OTG_DEPCTL_EPDIS | OTG_DEPCTL_SNAK;
    out->DOEPCTL = 0;
    out->DOEPINT = 0xFF;
    d->DAINTMSK = d->DAINTMSK & ~otg_daint_out(ep->num);
  }
  return USB_OTG_OK;
}

USB_OTG_STS USB_OTG_EPStartXfer(USB_OTG_CORE_HANDLE* pdev, USB_OTG_EP* ep) {
  if (ep->is_in) {
    OTG_FS_INEP_Regs* in = pdev->regs.INEP_REGS[ep->num];
    std::uint32_t tsiz;
    if (ep->xfer_len == 0) {
      tsiz = 1u << OTG_DEPTSIZ_PKTCNT_Pos;
    } else {
      tsiz = (ep->xfer_len & OTG_DEPTSIZ_XFRSIZ) |
             ((ceil_div(ep->xfer_len, ep->maxpacket) << OTG_DEPTSIZ_PKTCNT_Pos) & OTG_DEPTSIZ_PKTCNT);
      if (ep->type == EP_TYPE_ISOC) tsiz |= 1u << OTG_DEPTSIZ_MCNT_Pos;
    }
    in->DIEPTSIZ = tsiz;
    if (ep->type != EP_TYPE_ISOC && ep->xfer_len > 0)
      pdev->regs.DREGS->DIEPEMPMSK = pdev->regs.DREGS->DIEPEMPMSK | (1u << ep->num);
    std::uint32_t ctl = in->DIEPCTL;
    if (ep->type == EP_TYPE_ISOC)
      ctl |= (pdev->regs.DREGS->DSTS & (1u << OTG_DSTS_FNSOF_Pos)) ? OTG_DEPCTL_SD0PID : OTG_DEPCTL_SODDFRM;
    in->DIEPCTL = ctl | OTG_DEPCTL_CNAK | OTG_DEPCTL_EPENA;
    if (ep->type == EP_TYPE_ISOC)
      USB_OTG_WritePacket(pdev, ep->xfer_buff, ep->num, static_cast<std::uint16_t>(ep->xfer_len));
  } else {
    OTG_FS_OUTEP_Regs* out = pdev->regs.OUTEP_REGS[ep->num];
    std::uint32_t pktcnt = 1, xfrsiz = ep->maxpacket;
    if (ep->xfer_len != 0) {
      pktcnt = ceil_div(ep->xfer_len, ep->maxpacket);
      xfrsiz = pktcnt * ep->maxpacket;
    }
    out->DOEPTSIZ = (xfrsiz & OTG_DEPTSIZ_XFRSIZ) | ((pktcnt << OTG_DEPTSIZ_PKTCNT_Pos) & OTG_DEPTSIZ_PKTCNT);
    std::uint32_t ctl = out->DOEPCTL;
    if (ep->type == EP_TYPE_ISOC) ctl |= ep->even_odd_frame ? OTG_DEPCTL_SODDFRM : OTG_DEPCTL_SD0PID;
    out->DOEPCTL = ctl | OTG_DEPCTL_CNAK | OTG_DEPCTL_EPENA;
  }
  return USB_OTG_OK;
}

USB_OTG_STS USB_OTG_EP0StartXfer(USB_OTG_CORE_HANDLE* pdev, USB_OTG_EP* ep) {
  if (ep->is_in) {
    OTG_FS_INEP_Regs* in = pdev->regs.INEP_REGS[0];
    if (ep->xfer_len > ep->maxpacket) ep->xfer_len = ep->maxpacket;
    in->DIEPTSIZ = (ep->xfer_len & OTG_DEPTSIZ0_XFRSIZ) | (1u << OTG_DEPTSIZ_PKTCNT_Pos);
    in->DIEPCTL = in->DIEPCTL | OTG_DEPCTL_CNAK | OTG_DEPCTL_EPENA;
    if (ep->xfer_len != 0) pdev->regs.DREGS->DIEPEMPMSK = pdev->regs.DREGS->DIEPEMPMSK | 1u;
  } else {
    // The core takes one whole packet of up to maxpacket bytes; the record
    // keeps the room the buffer really has (at most one packet), so the
    // receive handler never stores more than the caller gave room for.
    OTG_FS_OUTEP_Regs* out = pdev->regs.OUTEP_REGS[0];
    if (ep->xfer_len > ep->maxpacket) ep->xfer_len = ep->maxpacket;
    out->DOEPTSIZ = (ep->maxpacket & OTG_DEPTSIZ0_XFRSIZ) | OTG_DOEPTSIZ0_PKTCNT;
    out->DOEPCTL = out->DOEPCTL | OTG_DEPCTL_CNAK | OTG_DEPCTL_EPENA;
  }
  return USB_OTG_OK;
}

// Endpoint 0 ready for up to three back-to-back SETUP packets (24 bytes).
void USB_OTG_EP0_OutStart(USB_OTG_CORE_HANDLE* pdev) {
  pdev->regs.OUTEP_REGS[0]->DOEPTSIZ = (3u << OTG_DOEPTSIZ0_STUPCNT_Pos) | OTG_DOEPTSIZ0_PKTCNT | 24u;
}

USB_OTG_STS USB_OTG_EPSetStall(USB_OTG_CORE_HANDLE* pdev, USB_OTG_EP* ep) {
  if (ep->is_in) {
    OTG_FS_INEP_Regs* in = pdev->regs.INEP_REGS[ep->num];
    std::uint32_t ctl = in->DIEPCTL;
    if (ctl & OTG_DEPCTL_EPENA) ctl |= OTG_DEPCTL_EPDIS;
    in->DIEPCTL = ctl | OTG_DEPCTL_STALL;
  } else {
    OTG_FS_OUTEP_Regs* out = pdev->regs.OUTEP_REGS[ep->num];
    out->DOEPCTL = out->DOEPCTL | OTG_DEPCTL_STALL;
  }
  return USB_OTG_OK;
}

USB_OTG_STS USB_OTG_EPClearStall(USB_OTG_CORE_HANDLE* pdev, USB_OTG_EP* ep) {
  mcu::reg32* ctl = ep->is_in ? &pdev->regs.INEP_REGS[ep->num]->DIEPCTL : &pdev->regs.OUTEP_REGS[ep->num]->DOEPCTL;
  std::uint32_t v = *ctl & ~OTG_DEPCTL_STALL;
  if (ep->type == EP_TYPE_INTR || ep->type == EP_TYPE_BULK) v |= OTG_DEPCTL_SD0PID;  // data toggle DATA0
  *ctl = v;
  return USB_OTG_OK;
}

std::uint32_t USB_OTG_ReadDevAllOutEp_itr(USB_OTG_CORE_HANDLE* pdev) {
  return (pdev->regs.DREGS->DAINT & pdev->regs.DREGS->DAINTMSK) >> 16;
}

std::uint32_t USB_OTG_ReadDevOutEP_itr(USB_OTG_CORE_HANDLE* pdev, std::uint8_t epnum) {
  return pdev->regs.OUTEP_REGS[epnum]->DOEPINT & pdev->regs.DREGS->DOEPMSK;
}

std::uint32_t USB_OTG_ReadDevAllInEPItr(USB_OTG_CORE_HANDLE* pdev) {
  return (pdev->regs.DREGS->DAINT & pdev->regs.DREGS->DAINTMSK) & 0xFFFF;
}

}  // extern "C"
