// Pin-level view of the GPIO ports, for the parts on the board (button, RTC
// chip, codec bus) and for traces. Implemented by the GPIO models.
#pragma once
#include <cstdint>
#include <functional>

namespace vb {

struct Pin {
  std::uint8_t port;  // 0 = A ... 4 = E
  std::uint8_t num;   // 0..15
  constexpr bool operator==(const Pin&) const = default;
};
constexpr Pin PA(int n) { return {0, static_cast<std::uint8_t>(n)}; }
constexpr Pin PB(int n) { return {1, static_cast<std::uint8_t>(n)}; }
constexpr Pin PC(int n) { return {2, static_cast<std::uint8_t>(n)}; }
constexpr Pin PD(int n) { return {3, static_cast<std::uint8_t>(n)}; }
constexpr Pin PE(int n) { return {4, static_cast<std::uint8_t>(n)}; }

// What an external part does to a pin. Open-drain lines are wired-AND: any
// Low wins; otherwise a pull-up (the chip's or an external one) gives high.
enum class Drive : std::uint8_t { kNone, kLow, kHigh, kPullUp, kPullDown };

class PinIo {
public:
  virtual ~PinIo() = default;
  // The resolved level of the pin now (what IDR reads, what a part sees).
  virtual bool level(Pin p) const = 0;
  // An external part drives the pin (replaces that part's previous drive).
  virtual void drive(Pin p, Drive d) = 0;
  // Called on every change of the resolved level, with the new level; the
  // time is the machine's now(). Returns an id for unwatch().
  virtual int watch(Pin p, std::function<void(bool level)> fn) = 0;
  virtual void unwatch(int id) = 0;
};

}  // namespace vb
