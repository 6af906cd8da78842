#include "sim/board/board.hpp"

#include <algorithm>
#include <array>

#include "sim/periph/backup_sram.hpp"
#include "sim/periph/dac.hpp"
#include "sim/periph/dbgmcu.hpp"
#include "sim/periph/dma.hpp"
#include "sim/periph/exti.hpp"
#include "sim/periph/flash_if.hpp"
#include "sim/periph/gpio.hpp"
#include "sim/periph/pwr.hpp"
#include "sim/periph/rcc.hpp"
#include "sim/periph/rtc.hpp"
#include "sim/periph/timer.hpp"
#include "sim/periph/usart.hpp"
#include "sim/periph/otg_fs.hpp"
#include "sim/usbhost/usb_host.hpp"

namespace vb {

// FIRMWARE_ELF: the build defines it as the path of the image it builds.
std::string default_firmware_elf() { return FIRMWARE_ELF; }

namespace {
constexpr std::uint32_t kTim1Base = 0x40010000;
constexpr ClockGate kTim1Gate{ClockGate::kAPB2, 0};
constexpr int kTim1UpIrq = 25;  // TIM1_UP_TIM10
constexpr std::uint32_t kUsart2Base = 0x40004400;
constexpr std::uint32_t kUsart3Base = 0x40004800;
constexpr ClockGate kUsart2Gate{ClockGate::kAPB1, 17};
constexpr ClockGate kUsart3Gate{ClockGate::kAPB1, 18};
constexpr int kUsart2Irq = 38;
constexpr int kUsart3Irq = 39;
// Voice output.
constexpr std::uint32_t kTim6Base = 0x40001000;
constexpr ClockGate kTim6Gate{ClockGate::kAPB1, 4};
constexpr int kTim6Irq = 54;  // TIM6_DAC
constexpr std::uint32_t kTim8Base = 0x40010400;
constexpr ClockGate kTim8Gate{ClockGate::kAPB2, 1};
constexpr int kTim8UpIrq = 44;  // TIM8_UP_TIM13
constexpr std::uint32_t kDma1Base = 0x40026000;
constexpr ClockGate kDma1Gate{ClockGate::kAHB1, 21};
constexpr std::array<int, 8> kDma1Irqs{11, 12, 13, 14, 15, 16, 17, 47};
constexpr std::uint32_t kDacBase = 0x40007400;
constexpr ClockGate kDacGate{ClockGate::kAPB1, 29};
// DMA1 request map: TIM6_UP is channel 7 of stream 1.
constexpr int kTim6UpStream = 1, kTim6UpChannel = 7;
constexpr Pin kDacPin = PA(4);
constexpr Pin kMclkPin = PC(7);
constexpr unsigned kTim8Af = 3;
// Front panel: TIM4 (LEDs) on APB1, TIM10 (beeper) on APB2 sharing the
// TIM1_UP_TIM10 line with TIM1's update.
constexpr std::uint32_t kTim4Base = 0x40000800;
constexpr ClockGate kTim4Gate{ClockGate::kAPB1, 2};
constexpr int kTim4Irq = 30;
constexpr std::uint32_t kTim10Base = 0x40014400;
constexpr ClockGate kTim10Gate{ClockGate::kAPB2, 17};

// Timer channels are modelled by the wave they put out, not edge by edge:
// the pin learns the wave's frequency, so that an output whose speed
// setting cannot carry it is caught.
void route_wave(Timer& t, int ch, Gpio& gpio, Pin pin, unsigned af) {
  t.on_output_change([&t, ch, &gpio, pin, af] {
    const ChannelOutput out = t.output(ch);
    gpio.set_alternate_rate(pin, af, out.driven ? out.hz : 0);
  });
}
}  // namespace

Board::Board(BoardOptions opts) : opts_(std::move(opts)) {
  if (opts_.elf.empty()) opts_.elf = default_firmware_elf();
  machine_.set_cpi(opts_.cpi);

  rcc_ = std::make_unique<Rcc>(opts_.hse_clock);
  flash_ = std::make_unique<FlashInterface>();
  pwr_ = std::make_unique<Pwr>();
  dbgmcu_ = std::make_unique<Dbgmcu>();
  exti_ = std::make_unique<Exti>();
  gpio_ = std::make_unique<Gpio>();
  tim1_ = std::make_unique<Timer>("TIM1", kTim1Base, kTim1Gate, kTim1UpIrq, true);
  usart2_ = std::make_unique<Usart>("USART2", kUsart2Base, kUsart2Gate, kUsart2Irq);
  usart3_ = std::make_unique<Usart>("USART3", kUsart3Base, kUsart3Gate, kUsart3Irq);
  rtc_ = std::make_unique<Rtc>(opts_.lse_clock);

  // The chip: RCC publishes the clocks and gates, the GPIO ports resolve the
  // pins; every block is mapped at its address.
  machine_.set_clock_control(rcc_.get());
  machine_.set_pins(gpio_.get());
  for (Peripheral* p : std::initializer_list<Peripheral*>{rcc_.get(), flash_.get(), pwr_.get(), dbgmcu_.get(),
                                                          exti_.get(), tim1_.get()})
    machine_.attach(*p);
  for (Peripheral* port : gpio_->blocks()) {
    machine_.attach(*port);
    rcc_->add_reset_target(*port);
  }
  // Blocks with an RCC reset bit go back to their reset state when it is set.
  rcc_->add_reset_target(*pwr_);
  rcc_->add_reset_target(*tim1_);
  tim1_->requests_to_unmodelled_dma();  // DMA2: no stream of it is used here
  for (Usart* port : {usart2_.get(), usart3_.get()}) {
    machine_.attach(*port);
    rcc_->add_reset_target(*port);
  }
  // The serial lines run through the pins: USART2 on PD5 (TX) / PD6 (RX),
  // USART3 on PD8 / PD9, both alternate function 7.
  usart2_->connect_pins(*gpio_, PD(5), PD(6), 7);
  usart3_->connect_pins(*gpio_, PD(8), PD(9), 7);
  // The backup domain takes over RCC BDCR/CSR; its writes need PWR DBP.
  machine_.attach(*rtc_);
  rtc_->connect(*rcc_);
  rtc_->set_write_access([this] { return pwr_->dbp(); });
  bkpsram_ = std::make_unique<BackupSram>();
  bkpsram_->set_write_access([this] { return pwr_->dbp(); });
  machine_.attach(*bkpsram_);
  // The external RTC chip on its software SPI bus (PC13, PE4-PE6).
  tcxo_rtc_ = std::make_unique<TcxoRtc>(machine_, *gpio_, opts_.rtc_chip);
  rcc_->on_change([this] { tcxo_rtc_->clocks_changed(); });
  rcc_->on_change([this] { machine_.clocks_changed(); });  // device time
  rcc_->on_change([this] {
    flash_->clocks_changed();
    pwr_->clocks_changed();
    tim1_->clocks_changed();
  });

  // Voice output: TIM6 paces DMA1 stream 1 into the DAC; TIM8 clocks the
  // audio DAC on PC7.
  tim6_ = std::make_unique<Timer>("TIM6", kTim6Base, kTim6Gate, kTim6Irq, false);
  tim8_ = std::make_unique<Timer>("TIM8", kTim8Base, kTim8Gate, kTim8UpIrq, true);
  dma1_ = std::make_unique<Dma>("DMA1", kDma1Base, kDma1Gate, kDma1Irqs);
  dac_ = std::make_unique<Dac>("DAC", kDacBase, kDacGate, [this] { return gpio_->mode(kDacPin) == Gpio::Mode::kAnalog; });
  for (Peripheral* p : std::initializer_list<Peripheral*>{tim6_.get(), tim8_.get(), dma1_.get(), dac_.get()}) {
    machine_.attach(*p);
    rcc_->add_reset_target(*p);
  }
  tim6_->connect_update_dma(*dma1_, kTim6UpStream, kTim6UpChannel);
  rcc_->on_change([this] {
    tim6_->clocks_changed();
    tim8_->clocks_changed();
  });
  codec_ = std::make_unique<AudioCodec>(machine_, *gpio_, [this] { return pc7_clock_hz(); }, opts_.codec);
  route_wave(*tim8_, 1, *gpio_, kMclkPin, kTim8Af);
  tim8_->on_output_change([this] { codec_->master_clock_changed(); });

  // USB: the OTG_FS core (data lines on PA11/PA12 in AF10) and the host.
  otg_fs_ = std::make_unique<OtgFs>();
  machine_.attach(*otg_fs_);
  rcc_->add_reset_target(*otg_fs_);
  otg_fs_->set_line_check([this] {
    for (int pin : {11, 12})
      if (gpio_->mode(PA(pin)) != Gpio::Mode::kAlternate || gpio_->alternate_function(PA(pin)) != 10) return false;
    return true;
  });
  otg_fs_->set_wakeup_line([this](bool level) { exti_->set_line(18, level); });
  usb_host_ = std::make_unique<UsbHost>(machine_, *otg_fs_);
  usb_host_->set_message_sink([this](const std::string& msg) { machine_.message(msg); });

  // Front panel: LEDs, beeper and button.
  tim4_ = std::make_unique<Timer>("TIM4", kTim4Base, kTim4Gate, kTim4Irq, false);
  tim10_ = std::make_unique<Timer>("TIM10", kTim10Base, kTim10Gate, kTim1UpIrq, false);
  for (Timer* t : {tim4_.get(), tim10_.get()}) {
    machine_.attach(*t);
    rcc_->add_reset_target(*t);
  }
  rcc_->on_change([this] {
    tim4_->clocks_changed();
    tim10_->clocks_changed();
  });
  for (int ch = 0; ch < 4; ++ch) route_wave(*tim4_, ch, *gpio_, PD(12 + ch), 2);
  route_wave(*tim10_, 0, *gpio_, PB(8), 3);
  leds_ = std::make_unique<Leds>(machine_, *gpio_, *tim4_);
  beeper_ = std::make_unique<Beeper>(machine_, *gpio_, *tim10_);
  button_ = std::make_unique<Button>(machine_, *gpio_);

  machine_.power_on(opts_.seed);
  bkpsram_->power_on(opts_.seed);
  machine_.load_elf(opts_.elf);
  machine_.reset();  // power-on: every model and the core from their reset state
  // Each pass of the main loop starts at fast_loop: idle passes are skipped.
  if (const auto loop = machine_.find_symbol("fast_loop")) machine_.set_idle_loop(*loop);
  machine_.set_idle_skip(opts_.idle_skip);
  if (opts_.usb_cable) usb_host_->plug();
}

Board::~Board() = default;

double Board::pc7_clock_hz() {
  if (gpio_->mode(kMclkPin) != Gpio::Mode::kAlternate || gpio_->alternate_function(kMclkPin) != kTim8Af) return 0;
  return tim8_->output_clock_hz(1);  // channel 2
}

const std::string& Board::usart3_output() const { return usart3_->peer_received(); }

bool Board::run_to(std::uint32_t addr, double limit_ms) {
  // In 1 ms slices: the clock runs at 16 MHz (HSI) until setup_RCC switches
  // to the PLL, and the limit is device time.
  double left = limit_ms;
  while (left > 0 && !machine_.faulted()) {
    const double step = std::min(left, 1.0);
    const auto cycles = static_cast<cycles_t>(step * machine_.clocks().hclk / 1000.0);
    const Stop s = machine_.run_until_pc(addr, std::max<cycles_t>(cycles, 1));
    if (s == Stop::kCondition) return true;
    if (s == Stop::kFault) return false;
    left -= step;
  }
  return false;
}

bool Board::run_until_console(const std::string& text, double limit_ms) {
  // Offsets count every byte the console sent, so that bytes the capture
  // drops from its front do not move them.
  const std::string& out = usart3_output();
  auto total = [&] { return usart3_->peer_dropped() + out.size(); };
  const std::uint64_t start = total();
  std::uint64_t searched = start;  // output before this offset holds no match
  auto seen = [&] {
    if (total() == searched) return false;  // nothing new: skip the search
    const std::uint64_t from = std::max(start, searched >= text.size() ? searched - text.size() + 1 : 0);
    searched = total();
    const std::uint64_t dropped = usart3_->peer_dropped();
    return out.find(text, from > dropped ? static_cast<std::size_t>(from - dropped) : 0) != std::string::npos;
  };
  const auto limit = static_cast<cycles_t>(limit_ms * machine_.clocks().hclk / 1000.0);
  return machine_.run_until(seen, std::max<cycles_t>(limit, 1)) == Stop::kCondition;
}

bool Board::boot(double limit_ms) {
  const auto loop = machine_.find_symbol("fast_loop");
  if (!loop) {
    machine_.message("boot: the image has no fast_loop; running " + std::to_string(limit_ms) + " ms instead");
    return machine_.run_ms(limit_ms) == Stop::kLimit;
  }
  if (run_to(*loop, limit_ms)) return true;
  if (machine_.faulted()) return false;
  std::string msg = "boot: fast_loop not reached within " + std::to_string(limit_ms) + " ms; the core is at\n" +
                    machine_.where();
  const std::string waiting = rcc_->waiting_for();
  if (!waiting.empty()) msg += "\n  RCC: " + waiting;
  machine_.message(msg);
  return false;
}

}  // namespace vb
