// The whole virtual board: the emulated chip (core + peripheral models) and
// the parts soldered around it. A test or vboard builds one Board per run.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/core/machine.hpp"
#include "sim/core/unknown_values.hpp"
#include "sim/parts/audio_codec.hpp"
#include "sim/parts/front_panel.hpp"
#include "sim/parts/tcxo_rtc.hpp"

namespace vb {

class Rcc;
class FlashInterface;
class Pwr;
class Dbgmcu;
class Exti;
class Gpio;
class Timer;
class Usart;
class Rtc;
class Dma;
class Dac;
class OtgFs;
class UsbHost;
class BackupSram;

struct BoardOptions {
  std::string elf;            // empty: the image built by this tree
  bool hse_clock = true;      // the 8 MHz oscillator signal on OSC_IN
  bool lse_clock = true;      // the 32.768 kHz signal on OSC32_IN
  TcxoRtcOptions rtc_chip;    // the external RTC: fitted or not, the time it holds
  unsigned cpi = 1;           // cycles per instruction
  bool idle_skip = true;      // fast-forward the idle main loop (exact; off: every pass runs)
  // Power-up contents of the RAMs and SysTick's reset values (UNKNOWN on the
  // chip): drawn from this seed, so a run repeats exactly.
  std::uint64_t seed = kDefaultSeed;
  AudioCodecOptions codec;    // the audio DAC on its two-wire bus
  // USB: the cable to the host plugged in at power-up (the host then
  // enumerates the board and opens the virtual COM port).
  bool usb_cable = false;
};

class Board {
public:
  explicit Board(BoardOptions opts = {});
  ~Board();

  Machine& m() { return machine_; }
  const BoardOptions& options() const { return opts_; }

  Rcc& rcc() { return *rcc_; }
  FlashInterface& flash() { return *flash_; }
  Gpio& gpio() { return *gpio_; }
  Exti& exti() { return *exti_; }
  Timer& tim1() { return *tim1_; }
  // The serial ports, each with its far end (peer) attached.
  Usart& usart2() { return *usart2_; }
  Usart& usart3() { return *usart3_; }
  // The backup domain (on-chip RTC, LSE/LSI) and the external RTC chip.
  Rtc& rtc() { return *rtc_; }
  TcxoRtc& tcxo_rtc() { return *tcxo_rtc_; }
  // Voice output: the sample clock TIM6, DMA1, the DAC, TIM8 (the audio
  // DAC's master clock) and the audio DAC part.
  Timer& tim6() { return *tim6_; }
  Timer& tim8() { return *tim8_; }
  Dma& dma1() { return *dma1_; }
  Dac& dac() { return *dac_; }
  AudioCodec& codec() { return *codec_; }
  // The clock on PC7 now: TIM8 channel 2's wave while PC7 is in alternate
  // function 3; 0 otherwise.
  double pc7_clock_hz();
  // USB: the OTG_FS core and the host at the other end of the cable.
  OtgFs& otg_fs() { return *otg_fs_; }
  UsbHost& usb_host() { return *usb_host_; }
  // Front panel: TIM4 behind the four LEDs, TIM10 behind the beeper, and the
  // push button.
  Timer& tim4() { return *tim4_; }
  Timer& tim10() { return *tim10_; }
  Leds& leds() { return *leds_; }
  Beeper& beeper() { return *beeper_; }
  Button& button() { return *button_; }
  // Everything the console (USART3) has sent so far, as its far end got it.
  const std::string& usart3_output() const;

  // Runs until the firmware's main loop is reached (first pass of fast_loop),
  // at most `limit_ms` of device time. False when the limit or a fault ended
  // it; on the limit the board says where the core is.
  bool boot(double limit_ms = 2000);
  // Runs until the core is about to execute `addr` (a function entry or
  // branch target), at most `limit_ms` of device time at whatever HCLK runs.
  bool run_to(std::uint32_t addr, double limit_ms);
  // Runs until the console (USART3) has sent `text` since the call, at most
  // `limit_ms` of device time. False when the limit or a fault ended it.
  bool run_until_console(const std::string& text, double limit_ms);

private:
  BoardOptions opts_;
  Machine machine_;
  std::unique_ptr<Rcc> rcc_;
  std::unique_ptr<FlashInterface> flash_;
  std::unique_ptr<Pwr> pwr_;
  std::unique_ptr<Dbgmcu> dbgmcu_;
  std::unique_ptr<Exti> exti_;
  std::unique_ptr<Gpio> gpio_;
  std::unique_ptr<Timer> tim1_;
  std::unique_ptr<Usart> usart2_;
  std::unique_ptr<Usart> usart3_;
  std::unique_ptr<Rtc> rtc_;
  std::unique_ptr<BackupSram> bkpsram_;
  std::unique_ptr<TcxoRtc> tcxo_rtc_;
  // Voice output.
  std::unique_ptr<Timer> tim6_;
  std::unique_ptr<Timer> tim8_;
  std::unique_ptr<Dma> dma1_;
  std::unique_ptr<Dac> dac_;
  std::unique_ptr<AudioCodec> codec_;
  // USB device core and the host on the cable.
  std::unique_ptr<OtgFs> otg_fs_;
  std::unique_ptr<UsbHost> usb_host_;
  // Front panel.
  std::unique_ptr<Timer> tim4_;
  std::unique_ptr<Timer> tim10_;
  std::unique_ptr<Leds> leds_;
  std::unique_ptr<Beeper> beeper_;
  std::unique_ptr<Button> button_;
  // Later models and parts (serial, timekeeping, voice, timers, USB) are
  // added here by their owners.
};

// Path of the image this tree builds (build/firmware/talking-clock.elf).
std::string default_firmware_elf();

}  // namespace vb
