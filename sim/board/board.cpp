#include "sim/board/board.hpp"

#include <algorithm>

#include "sim/periph/dbgmcu.hpp"
#include "sim/periph/exti.hpp"
#include "sim/periph/flash_if.hpp"
#include "sim/periph/gpio.hpp"
#include "sim/periph/pwr.hpp"
#include "sim/periph/rcc.hpp"
#include "sim/periph/rtc.hpp"
#include "sim/periph/timer.hpp"
#include "sim/periph/usart.hpp"

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
  // The external RTC chip on its software SPI bus (PC13, PE4-PE6).
  tcxo_rtc_ = std::make_unique<TcxoRtc>(machine_, *gpio_, opts_.rtc_chip);
  rcc_->on_change([this] { tcxo_rtc_->clocks_changed(); });
  rcc_->on_change([this] {
    flash_->clocks_changed();
    tim1_->clocks_changed();
  });

  machine_.load_elf(opts_.elf);
  machine_.reset();  // power-on: every model and the core from their reset state
  // Each pass of the main loop starts at fast_loop: idle passes are skipped.
  if (const auto loop = machine_.find_symbol("fast_loop")) machine_.set_idle_loop(*loop);
  machine_.set_idle_skip(opts_.idle_skip);
}

Board::~Board() = default;

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
