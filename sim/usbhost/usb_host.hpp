// The USB host at the far end of the board's USB cable: a full-speed root
// port with its host controller (frames, SOF every 1 ms, transactions with
// handshakes, NAK retries), control/bulk/interrupt transfers, enumeration as
// the Linux host stack does it, and a CDC ACM client as the Linux cdc_acm
// driver drives it. Everything runs on the board's event queue in device
// time; every transaction and transfer is logged.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/core/scheduler.hpp"
#include "sim/periph/otg_fs.hpp"

namespace vb {

class Machine;

// One transaction on the bus, as a bus analyser shows it.
struct UsbTransaction {
  enum class Token : std::uint8_t { kSetup, kIn, kOut };
  cycles_t time;
  double time_us;  // device time in microseconds
  std::uint8_t addr, ep;
  Token token;
  int pid;                          // data PID (0 DATA0, 1 DATA1), -1 without data
  std::vector<std::uint8_t> data;   // the data packet (OUT/SETUP: sent, IN: received)
  Handshake handshake;
};

// One transfer (what a host driver submits), with its outcome.
struct UsbTransfer {
  enum class Kind : std::uint8_t { kControl, kBulk, kInterrupt };
  // kBabble: the device sent more than asked for, or a packet longer than
  // the endpoint's maximum (Linux: -EOVERFLOW).
  enum class Status : std::uint8_t { kPending, kOk, kStall, kError, kTimeout, kCancelled, kBabble };
  std::uint64_t id = 0;
  Kind kind = Kind::kControl;
  std::uint8_t ep = 0;                  // endpoint address (bit 7 = IN)
  std::array<std::uint8_t, 8> setup{};  // control transfers
  std::size_t length = 0;               // IN: bytes asked for; OUT: bytes to send
  std::vector<std::uint8_t> data;       // OUT: the data; IN: what arrived
  Status status = Status::kPending;
  double submitted_us = 0, done_us = 0;
};
const char* transfer_status_name(UsbTransfer::Status s);

// A bus event (cable, reset, suspend, resume) for the log.
struct UsbBusEvent {
  double time_us;
  std::string what;
};

class UsbHost {
public:
  enum class State : std::uint8_t { kUnplugged, kWaitingForDevice, kEnumerating, kConfigured, kFailed };
  using Done = std::function<void(const UsbTransfer&)>;

  UsbHost(Machine& m, OtgFs& dev);
  ~UsbHost();
  UsbHost(const UsbHost&) = delete;
  UsbHost& operator=(const UsbHost&) = delete;

  // --- cable and bus ----------------------------------------------------------
  // Plugging the cable gives the device VBUS; once the device pulls its data
  // line up the host debounces (100 ms), resets the port and, with
  // auto_enumerate, enumerates and opens the port as cdc_acm does.
  void plug();
  void unplug();
  bool plugged() const { return plugged_; }
  void set_auto_enumerate(bool on) { auto_enumerate_ = on; }
  void set_auto_open(bool on) { auto_open_ = on; }
  State state() const { return state_; }
  std::string state_name() const;
  // Port reset (10 ms of SE0); `done` runs when the port is enabled again.
  void bus_reset(std::function<void()> done = {});
  void suspend();  // SOFs stop; the device sees suspend after 3 ms of idle
  void resume();   // resume signalling, then SOFs again
  std::uint16_t frame() const { return frame_; }

  // --- transfers ----------------------------------------------------------------
  // Control transfer to the device's current address (0 before SET_ADDRESS).
  // It times out after 5 s of device time (as the Linux host's requests do).
  // This form sends `out_data` as given, even when it is longer than the
  // setup's wLength (a misbehaving host); the other pads or cuts it to wLength.
  std::uint64_t control(std::array<std::uint8_t, 8> setup, std::vector<std::uint8_t> out_data, Done done = {});
  std::uint64_t control(std::uint8_t bmRequest, std::uint8_t bRequest, std::uint16_t wValue, std::uint16_t wIndex,
                        std::uint16_t wLength, std::vector<std::uint8_t> out_data = {}, Done done = {});
  // Bulk transfers in max-packet pieces; an IN transfer ends on a short
  // packet (shorter than the endpoint's wMaxPacketSize) or when `length`
  // bytes arrived; a packet that does not fit the rest is babble.
  std::uint64_t bulk_out(std::uint8_t ep, std::vector<std::uint8_t> data, Done done = {});
  std::uint64_t bulk_in(std::uint8_t ep, std::size_t length, Done done = {});
  // Interrupt IN transfer polled every `interval` frames (1 to 255).
  std::uint64_t interrupt_in(std::uint8_t ep, std::size_t length, unsigned interval, Done done = {});
  // Ends a pending transfer as cancelled (its `done` runs); false when it is
  // not pending any more.
  bool cancel(std::uint64_t id);
  // Called with every transfer when it is submitted (status pending) and
  // when it ends, for capture files.
  void add_transfer_observer(std::function<void(const UsbTransfer&)> fn) { observers_.push_back(std::move(fn)); }
  // A transfer by id (pending or finished); nullptr when unknown.
  const UsbTransfer* transfer(std::uint64_t id) const;
  bool idle() const { return queue_.empty(); }
  std::uint8_t address() const { return address_; }
  void set_address(std::uint8_t a) { address_ = a; }
  // Host-side data toggles of a bulk/interrupt endpoint back to DATA0 (after
  // SET_CONFIGURATION or CLEAR_FEATURE(halt)).
  void reset_toggle(std::uint8_t ep);

  // --- what enumeration found -----------------------------------------------------
  const std::vector<std::uint8_t>& device_descriptor() const { return device_desc_; }
  const std::vector<std::uint8_t>& config_descriptor() const { return config_desc_; }
  // String descriptors read at enumeration, index 0 (languages) to 3.
  const std::vector<std::vector<std::uint8_t>>& strings() const { return strings_; }
  const std::string& failure() const { return failure_; }
  unsigned enumerations() const { return enumerations_; }
  // Enumeration attempts for one connection before the host gives up
  // (each failed one is followed by a port reset and a new attempt).
  static constexpr unsigned kEnumerationTries = 4;
  // Maximum packet size the host uses for an endpoint (bit 7 = IN): endpoint
  // 0 from the device descriptor's bMaxPacketSize0, the others from the
  // configuration descriptor's wMaxPacketSize, as the host read them; 64
  // until then.
  unsigned max_packet(std::uint8_t ep) const;

  // --- the CDC ACM client ------------------------------------------------------------
  // Open: SET_CONTROL_LINE_STATE 3 (DTR, RTS), the bulk IN endpoint polled
  // into the received stream, the notification endpoint polled. Close:
  // SET_CONTROL_LINE_STATE 0, polling stops.
  void open_port();
  void close_port();
  bool port_open() const { return port_open_; }
  // Queues bytes for bulk OUT (sent in 64-byte packets, in order).
  void write(const std::string& bytes);
  // Bytes written and not yet acknowledged by the device.
  std::size_t write_pending() const;
  // Everything the device sent on bulk IN while the port was open.
  const std::string& received() const { return rx_stream_; }
  void clear_received() { rx_stream_.clear(); }
  void on_received(std::function<void(const std::string&)> fn) { on_received_ = std::move(fn); }
  const std::function<void(const std::string&)>& received_receiver() const { return on_received_; }
  // Bulk IN transfers the client keeps queued while open, and their size
  // (as cdc_acm does: 16 reads of twice wMaxPacketSize).
  static constexpr unsigned kReadUrbs = 16;
  static constexpr std::size_t kReadSize = 128;

  // --- logs --------------------------------------------------------------------------
  const std::vector<UsbTransaction>& transactions() const { return log_; }
  const std::vector<UsbBusEvent>& bus_events() const { return events_; }
  // Finished transfers, in completion order.
  const std::deque<UsbTransfer>& transfers() const { return done_; }
  void clear_logs();
  // Log NAKed IN/OUT tokens too (off by default: an idle port NAKs every frame).
  void set_log_naks(bool on) { log_naks_ = on; }
  // Called for every board-visible message of the host (enumeration result, errors).
  void set_message_sink(std::function<void(const std::string&)> fn) { message_ = std::move(fn); }

private:
  struct Pending;
  double now_us() const;
  cycles_t us_to_cycles(double us) const;
  void frame_tick();
  void start_frames();
  void service();
  void kick();
  bool step(Pending& p, double& bus_us);
  void finish(Pending& p, UsbTransfer::Status s);
  void cancel_all();
  void record(UsbTransaction::Token t, std::uint8_t ep, int pid, const std::vector<std::uint8_t>& data, Handshake h);
  void event(const std::string& what);
  void say(const std::string& what);
  std::uint64_t submit(std::unique_ptr<Pending> p);
  void enumerate();
  void run_script(std::size_t i);
  void fail(const std::string& why);
  void learn(const UsbTransfer& t);
  void on_device_gone();
  void refill_reads();
  void pump_writes();

  Machine& m_;
  OtgFs& dev_;
  bool plugged_ = false, auto_enumerate_ = true, auto_open_ = true;
  State state_ = State::kUnplugged;
  bool port_enabled_ = false, suspended_ = false, in_reset_ = false, device_seen_ = false;
  std::uint16_t frame_ = 0;
  std::uint8_t address_ = 0, next_address_ = 1;
  Scheduler::Handle frame_ev_ = 0, service_ev_ = 0, misc_ev_ = 0;
  cycles_t next_frame_at_ = 0;
  std::deque<std::unique_ptr<Pending>> queue_;
  std::deque<UsbTransfer> done_;
  std::uint64_t next_id_ = 1;
  std::array<int, 16> toggle_in_{}, toggle_out_{};

  std::vector<std::function<void(std::function<void()>)>> script_;
  std::vector<std::uint8_t> device_desc_, config_desc_;
  std::vector<std::vector<std::uint8_t>> strings_;
  std::string failure_;
  unsigned enumerations_ = 0, attempts_ = 0;
  unsigned mps0_ = 64;
  std::array<unsigned, 16> mps_in_{}, mps_out_{};  // 0: not known

  bool port_open_ = false;
  unsigned reads_queued_ = 0;
  bool write_busy_ = false, notify_queued_ = false;
  std::uint64_t write_id_ = 0;
  std::string tx_pending_;
  std::string rx_stream_;
  std::function<void(const std::string&)> on_received_;

  std::vector<UsbTransaction> log_;
  std::vector<UsbBusEvent> events_;
  bool log_naks_ = false;
  std::function<void(const std::string&)> message_;
  std::vector<std::function<void(const UsbTransfer&)>> observers_;
  bool alive_ = true;
};

}  // namespace vb
