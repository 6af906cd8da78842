// OTG_FS interrupt dispatch: reads the enabled pending events once, moves
// packets between the FIFOs and the endpoint buffers, and reports each event
// to the device core. Everything here runs in the OTG_FS interrupt.
#include <initializer_list>

#include "mcu/scb.hpp"
#include "usb/usb_dcd.hpp"

namespace {

// USB turnaround time in PHY clocks for the AHB clock: the reference
// manual's minimum is 6 for HCLK of 32 MHz and more (this board runs 144 MHz).
constexpr std::uint32_t kTrdtFullSpeed = 6;

// Refills the transmit FIFO of IN endpoint epnum while it has room for the
// next packet (TXFE).
void write_empty_tx_fifo(USB_OTG_CORE_HANDLE* pdev, std::uint32_t epnum) {
  USB_OTG_EP* ep = &pdev->dev.in_ep[epnum];
  auto packet = [ep] {
    const std::uint32_t left = ep->xfer_len - ep->xfer_count;
    return left > ep->maxpacket ? ep->maxpacket : left;
  };
  std::uint32_t len = packet();
  std::uint32_t words = (len + 3) / 4;
  std::uint32_t space = pdev->regs.INEP_REGS[epnum]->DTXFSTS & OTG_DTXFSTS_INEPTFSAV;
  while (space > words && ep->xfer_count < ep->xfer_len && ep->xfer_len != 0) {
    len = packet();
    words = (len + 3) / 4;
    USB_OTG_WritePacket(pdev, ep->xfer_buff, static_cast<std::uint8_t>(epnum), static_cast<std::uint16_t>(len));
    ep->xfer_buff += len;
    ep->xfer_count += len;
    space = pdev->regs.INEP_REGS[epnum]->DTXFSTS & OTG_DTXFSTS_INEPTFSAV;
  }
  // Everything is in the FIFO: stop listening to its level, which stays
  // "empty" (TXFE) while the packet waits for the host's IN token.
  if (ep->xfer_count >= ep->xfer_len) {
    OTG_FS_Device_Regs* d = pdev->regs.DREGS;
    d->DIEPEMPMSK = d->DIEPEMPMSK & ~(1u << epnum);
  }
}

void handle_out_endpoints(USB_OTG_CORE_HANDLE* pdev) {
  std::uint32_t eps = USB_OTG_ReadDevAllOutEp_itr(pdev);
  for (std::uint8_t n = 0; eps != 0; ++n, eps >>= 1) {
    if ((eps & 1) == 0) continue;
    const std::uint32_t pending = USB_OTG_ReadDevOutEP_itr(pdev, n);
    OTG_FS_OUTEP_Regs* out = pdev->regs.OUTEP_REGS[n];
    if (pending & OTG_DOEPINT_XFRC) {
      out->DOEPINT = OTG_DOEPINT_XFRC;
      USBD_DCD_INT_fops->DataOutStage(pdev, n);
    }
    if (pending & OTG_DOEPINT_EPDISD) out->DOEPINT = OTG_DOEPINT_EPDISD;
    if (pending & OTG_DOEPINT_STUP) {
      USBD_DCD_INT_fops->SetupStage(pdev);
      out->DOEPINT = OTG_DOEPINT_STUP;
    }
  }
}

void handle_in_endpoints(USB_OTG_CORE_HANDLE* pdev) {
  OTG_FS_Device_Regs* d = pdev->regs.DREGS;
  std::uint32_t eps = USB_OTG_ReadDevAllInEPItr(pdev);
  for (std::uint8_t n = 0; eps != 0; ++n, eps >>= 1) {
    if ((eps & 1) == 0) continue;
    OTG_FS_INEP_Regs* in = pdev->regs.INEP_REGS[n];
    std::uint32_t mask = d->DIEPMSK;
    if ((d->DIEPEMPMSK >> n) & 1u) mask |= OTG_DIEPINT_TXFE;
    const std::uint32_t pending = in->DIEPINT & mask;
    if (pending & OTG_DIEPINT_XFRC) {
      d->DIEPEMPMSK = d->DIEPEMPMSK & ~(1u << n);
      in->DIEPINT = OTG_DIEPINT_XFRC;
      USBD_DCD_INT_fops->DataInStage(pdev, n);
    }
    for (std::uint32_t flag : {OTG_DIEPINT_TOC, OTG_DIEPINT_ITTXFE, OTG_DIEPINT_INEPNE, OTG_DIEPINT_EPDISD})
      if (pending & flag) in->DIEPINT = flag;
    if (pending & OTG_DIEPINT_TXFE) write_empty_tx_fifo(pdev, n);
  }
}

// One entry of the receive FIFO: a status word and the packet's data. Never
// stores more than the endpoint's buffer has left; the rest of an oversized
// packet is popped and dropped.
void handle_rx_fifo(USB_OTG_CORE_HANDLE* pdev) {
  OTG_FS_Global_Regs* g = pdev->regs.GREGS;
  g->GINTMSK = g->GINTMSK & ~OTG_GINT_RXFLVL;
  const std::uint32_t status = g->GRXSTSP;
  USB_OTG_EP* ep = &pdev->dev.out_ep[status & OTG_GRXSTS_EPNUM];
  const std::uint32_t bcnt = (status & OTG_GRXSTS_BCNT) >> OTG_GRXSTS_BCNT_Pos;
  const std::uint32_t pktsts = (status & OTG_GRXSTS_PKTSTS) >> OTG_GRXSTS_PKTSTS_Pos;
  if (pktsts == OTG_PKTSTS_OUT_DATA && bcnt != 0) {
    const std::uint32_t room = ep->xfer_len > ep->xfer_count ? ep->xfer_len - ep->xfer_count : 0;
    const std::uint32_t take = ep->xfer_buff == nullptr ? 0 : (bcnt < room ? bcnt : room);
    if (take == bcnt) {
      USB_OTG_ReadPacket(pdev, ep->xfer_buff, static_cast<std::uint16_t>(bcnt));
    } else {
      // Oversized packet: keep what fits, pop the rest of its words.
      for (std::uint32_t i = 0; i < (bcnt + 3) / 4; ++i) {
        const std::uint32_t w = *pdev->regs.DFIFO[0];
        for (std::uint32_t b = 0; b < 4 && 4 * i + b < take; ++b)
          ep->xfer_buff[4 * i + b] = static_cast<std::uint8_t>(w >> (8 * b));
      }
    }
    ep->xfer_buff += take;
    ep->xfer_count += take;
  } else if (pktsts == OTG_PKTSTS_SETUP_DATA) {
    USB_OTG_ReadPacket(pdev, pdev->dev.setup_packet, 8);
    ep->xfer_count += bcnt;
  }
  g->GINTMSK = g->GINTMSK | OTG_GINT_RXFLVL;
}

void handle_usb_reset(USB_OTG_CORE_HANDLE* pdev) {
  OTG_FS_Device_Regs* d = pdev->regs.DREGS;
  d->DCTL = d->DCTL & ~OTG_DCTL_RWUSIG;
  USB_OTG_FlushTxFifo(pdev, 0);
  for (unsigned n = 0; n < pdev->cfg.dev_endpoints; ++n) {
    pdev->regs.INEP_REGS[n]->DIEPINT = 0xFF;
    pdev->regs.OUTEP_REGS[n]->DOEPINT = 0xFF;
  }
  d->DAINT = 0xFFFFFFFF;
  d->DAINTMSK = otg_daint_in(0) | otg_daint_out(0);
  d->DOEPMSK = OTG_DOEPMSK_XFRCM | OTG_DOEPMSK_EPDM | OTG_DOEPMSK_STUPM;
  d->DIEPMSK = OTG_DIEPMSK_XFRCM | OTG_DIEPMSK_EPDM | OTG_DIEPMSK_TOM;
  d->DCFG = d->DCFG & ~OTG_DCFG_DAD;
  USB_OTG_EP0_OutStart(pdev);
  pdev->regs.GREGS->GINTSTS = OTG_GINT_USBRST;
  USBD_DCD_INT_fops->Reset(pdev);
}

void handle_enum_done(USB_OTG_CORE_HANDLE* pdev) {
  OTG_FS_Global_Regs* g = pdev->regs.GREGS;
  USB_OTG_EP0Activate(pdev);
  std::uint32_t trdt;
  if (USB_OTG_GetDeviceSpeed(pdev) == USB_SPEED_HIGH) {
    pdev->cfg.speed = USB_OTG_SPEED_HIGH;
    pdev->cfg.mps = 512;
    trdt = 9;
  } else {
    pdev->cfg.speed = USB_OTG_SPEED_FULL;
    pdev->cfg.mps = 64;
    trdt = kTrdtFullSpeed;
  }
  g->GUSBCFG = (g->GUSBCFG & ~OTG_GUSBCFG_TRDT) | (trdt << OTG_GUSBCFG_TRDT_Pos);
  g->GINTSTS = OTG_GINT_ENUMDNE;
}

}  // namespace

extern "C" {

std::uint32_t USBD_OTG_ISR_Handler(USB_OTG_CORE_HANDLE* pdev) {
  if (!USB_OTG_IsDeviceMode(pdev)) return 0;
  const std::uint32_t gint = USB_OTG_ReadCoreItr(pdev);
  if (gint == 0) return 0;
  OTG_FS_Global_Regs* g = pdev->regs.GREGS;

  if (gint & OTG_GINT_OEPINT) handle_out_endpoints(pdev);
  if (gint & OTG_GINT_IEPINT) handle_in_endpoints(pdev);
  if (gint & OTG_GINT_MMIS) g->GINTSTS = OTG_GINT_MMIS;
  if (gint & OTG_GINT_WKUPINT) {
    if (pdev->cfg.low_power)
      *pdev->regs.PCGCCTL = *pdev->regs.PCGCCTL & ~(OTG_PCGCCTL_STPPCLK | OTG_PCGCCTL_GATEHCLK);
    pdev->regs.DREGS->DCTL = pdev->regs.DREGS->DCTL & ~OTG_DCTL_RWUSIG;
    USBD_DCD_INT_fops->Resume(pdev);
    g->GINTSTS = OTG_GINT_WKUPINT;
  }
  if (gint & OTG_GINT_USBSUSP) {
    const std::uint8_t prev_status = pdev->dev.device_status;
    USBD_DCD_INT_fops->Suspend(pdev);
    const std::uint32_t dsts = pdev->regs.DREGS->DSTS;
    g->GINTSTS = OTG_GINT_USBSUSP;
    if (pdev->cfg.low_power && (dsts & OTG_DSTS_SUSPSTS) && pdev->dev.connection_status == 1 &&
        prev_status == USB_OTG_CONFIGURED) {
      *pdev->regs.PCGCCTL = *pdev->regs.PCGCCTL | OTG_PCGCCTL_STPPCLK | OTG_PCGCCTL_GATEHCLK;
      SCB->SCR = SCB->SCR | SCB_SCR_SLEEPDEEP | SCB_SCR_SLEEPONEXIT;
    }
  }
  if (gint & OTG_GINT_SOF) {
    USBD_DCD_INT_fops->SOF(pdev);
    g->GINTSTS = OTG_GINT_SOF;
  }
  if (gint & OTG_GINT_RXFLVL) handle_rx_fifo(pdev);
  if (gint & OTG_GINT_USBRST) handle_usb_reset(pdev);
  if (gint & OTG_GINT_ENUMDNE) handle_enum_done(pdev);
  if (gint & OTG_GINT_IISOIXFR) {
    USBD_DCD_INT_fops->IsoINIncomplete(pdev);
    g->GINTSTS = OTG_GINT_IISOIXFR;
  }
  if (gint & OTG_GINT_INCOMPISOOUT) {
    USBD_DCD_INT_fops->IsoOUTIncomplete(pdev);
    g->GINTSTS = OTG_GINT_INCOMPISOOUT;
  }
  if (gint & OTG_GINT_SRQINT) {
    USBD_DCD_INT_fops->DevConnected(pdev);
    g->GINTSTS = OTG_GINT_SRQINT;
  }
  if (gint & OTG_GINT_OTGINT) {
    const std::uint32_t otg = g->GOTGINT;
    if (otg & OTG_GOTGINT_SEDET) USBD_DCD_INT_fops->DevDisconnected(pdev);
    g->GOTGINT = otg;
  }
  return 1;
}

}  // extern "C"
