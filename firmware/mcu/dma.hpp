// DMA controller 1 with its eight streams, STM32F40x.
#pragma once
#include "mcu/mmio.hpp"

struct DMA_Stream_Regs {
  mcu::reg32 CR;    // +0x00 configuration
  mcu::reg32 NDTR;  // +0x04 number of data items
  mcu::reg32 PAR;   // +0x08 peripheral address
  mcu::reg32 M0AR;  // +0x0C memory 0 address
  mcu::reg32 M1AR;  // +0x10 memory 1 address (double-buffer mode)
  mcu::reg32 FCR;   // +0x14 FIFO control
};
static_assert(sizeof(DMA_Stream_Regs) == 0x18);

struct DMA_Regs {
  mcu::reg32 LISR;   // 0x00 low interrupt status (streams 0-3)
  mcu::reg32 HISR;   // 0x04 high interrupt status (streams 4-7)
  mcu::reg32 LIFCR;  // 0x08 low interrupt flag clear
  mcu::reg32 HIFCR;  // 0x0C high interrupt flag clear
  DMA_Stream_Regs S[8];  // 0x10 + 0x18 * n
};
static_assert(offsetof(DMA_Regs, S) == 0x10);
static_assert(offsetof(DMA_Regs, S[1]) == 0x28);
static_assert(offsetof(DMA_Regs, S[7]) == 0xB8);
static_assert(sizeof(DMA_Regs) == 0xD0);

inline constexpr std::uintptr_t DMA1_BASE = 0x40026000;
inline constexpr mcu::Block<DMA_Regs, DMA1_BASE> DMA1{};
inline constexpr mcu::Block<DMA_Stream_Regs, DMA1_BASE + 0x10 + 0x18 * 1> DMA1_Stream1{};

// SxCR
inline constexpr std::uint32_t DMA_SxCR_EN = 1u << 0;          // stream enable
inline constexpr std::uint32_t DMA_SxCR_DMEIE = 1u << 1;
inline constexpr std::uint32_t DMA_SxCR_TEIE = 1u << 2;
inline constexpr std::uint32_t DMA_SxCR_HTIE = 1u << 3;
inline constexpr std::uint32_t DMA_SxCR_TCIE = 1u << 4;
inline constexpr std::uint32_t DMA_SxCR_PFCTRL = 1u << 5;      // peripheral is flow controller
inline constexpr std::uint32_t DMA_SxCR_DIR = 3u << 6;         // direction
inline constexpr std::uint32_t DMA_SxCR_DIR_P2M = 0u << 6;
inline constexpr std::uint32_t DMA_SxCR_DIR_M2P = 1u << 6;
inline constexpr std::uint32_t DMA_SxCR_DIR_M2M = 2u << 6;
inline constexpr std::uint32_t DMA_SxCR_CIRC = 1u << 8;        // circular mode
inline constexpr std::uint32_t DMA_SxCR_PINC = 1u << 9;        // peripheral increment
inline constexpr std::uint32_t DMA_SxCR_MINC = 1u << 10;       // memory increment
inline constexpr std::uint32_t DMA_SxCR_PSIZE = 3u << 11;
inline constexpr std::uint32_t DMA_SxCR_MSIZE = 3u << 13;
inline constexpr std::uint32_t DMA_SxCR_PINCOS = 1u << 15;
inline constexpr std::uint32_t DMA_SxCR_PL = 3u << 16;         // priority level
inline constexpr std::uint32_t DMA_SxCR_DBM = 1u << 18;        // double-buffer mode
inline constexpr std::uint32_t DMA_SxCR_CT = 1u << 19;
inline constexpr std::uint32_t DMA_SxCR_PBURST = 3u << 21;
inline constexpr std::uint32_t DMA_SxCR_MBURST = 3u << 23;
inline constexpr std::uint32_t DMA_SxCR_CHSEL_Pos = 25;        // request channel 0-7
inline constexpr std::uint32_t DMA_SxCR_CHSEL = 7u << 25;
constexpr std::uint32_t dma_sxcr_chsel(std::uint32_t ch) { return ch << DMA_SxCR_CHSEL_Pos; }
static_assert((dma_sxcr_chsel(7) | DMA_SxCR_MINC | DMA_SxCR_DIR_M2P | DMA_SxCR_EN) == 0x0E000441);

// SxFCR
inline constexpr std::uint32_t DMA_SxFCR_DMDIS = 1u << 2;      // direct mode disable (FIFO on)

// Interrupt flags of one stream inside LISR/HISR and LIFCR/HIFCR: six bits at
// offsets 0, 6, 16, 22 for streams 0-3 (LISR) and 4-7 (HISR).
inline constexpr std::uint32_t DMA_FLAG_FEIF = 1u << 0;        // FIFO error
inline constexpr std::uint32_t DMA_FLAG_DMEIF = 1u << 2;       // direct mode error
inline constexpr std::uint32_t DMA_FLAG_TEIF = 1u << 3;        // transfer error
inline constexpr std::uint32_t DMA_FLAG_HTIF = 1u << 4;        // half transfer
inline constexpr std::uint32_t DMA_FLAG_TCIF = 1u << 5;        // transfer complete
inline constexpr std::uint32_t DMA_FLAG_ALL = 0x3Du;
constexpr unsigned dma_flag_shift(unsigned stream) {
  constexpr unsigned shift[4] = {0, 6, 16, 22};
  return shift[stream % 4];
}
constexpr std::uint32_t dma_stream_flags(unsigned stream, std::uint32_t flags) {
  return flags << dma_flag_shift(stream);
}
static_assert(dma_stream_flags(1, DMA_FLAG_ALL) == 0xF40);
