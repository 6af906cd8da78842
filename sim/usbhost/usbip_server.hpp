// The board's USB device exported over TCP with the USB/IP protocol, so that
// a Linux machine (vhci-hcd and `usbip attach -r HOST -b 1-1`) drives it as a
// local USB device: the remote host's USB core and class driver (cdc_acm)
// take the place of the host model's enumeration and CDC client, while the
// host model's controller still runs the bus. Each URB a client submits
// becomes one transfer of the host model (transactions within frames, NAKs
// retried, a stall ends it with -EPIPE); its RET_SUBMIT goes back when the
// transfer ends. Importing the device resets the port and gives the device
// its address (the remote side answers its own port reset and SET_ADDRESS
// locally). One client at a time holds the device; when it goes away the
// device is detached (the cable comes out for a moment) and can be imported
// again. Everything on the wire is big-endian. The server never blocks: the
// board's run loop calls poll() between slices of device time.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/core/scheduler.hpp"

namespace vb {

class Machine;
class OtgFs;
class UsbHost;

struct UsbIpOptions {
  std::string bind = "127.0.0.1";
  int port = 3240;  // 0: any free port (see UsbIpServer::port())
};

namespace usbip {
// Request and reply codes.
constexpr std::uint16_t kVersion = 0x0111;
constexpr std::uint16_t kOpReqDevlist = 0x8005, kOpRepDevlist = 0x0005;
constexpr std::uint16_t kOpReqImport = 0x8003, kOpRepImport = 0x0003;
constexpr std::uint32_t kCmdSubmit = 1, kCmdUnlink = 2, kRetSubmit = 3, kRetUnlink = 4;
constexpr std::size_t kOpHeaderSize = 8, kUrbHeaderSize = 48, kBusIdSize = 32, kPathSize = 256;
constexpr std::size_t kDeviceInfoSize = 312;  // path, bus id, numbers and the device descriptor's fields
// Reply status of an import.
constexpr std::uint32_t kStatusOk = 0, kStatusBusy = 2, kStatusNoDevice = 4;
// URB status values (Linux errno numbers, negative).
constexpr std::int32_t kEPipe = -32, kEOverflow = -75, kEProto = -71, kEConnReset = -104, kEShutdown = -108,
                         kETimedOut = -110;
// The exported device.
constexpr char kBusId[] = "1-1";
constexpr std::uint32_t kBusNum = 1;
constexpr std::uint8_t kDevNum = 2;  // its device number (and USB address) on that bus
constexpr std::uint32_t kSpeedFull = 2;
// Largest transfer buffer a URB may ask for; more closes the connection.
constexpr std::size_t kMaxTransfer = 1u << 20;
}  // namespace usbip

class UsbIpServer {
public:
  // Listens on opts.bind:opts.port; throws std::runtime_error when it cannot.
  UsbIpServer(Machine& m, UsbHost& host, OtgFs& dev, UsbIpOptions opts = {});
  ~UsbIpServer();
  UsbIpServer(const UsbIpServer&) = delete;
  UsbIpServer& operator=(const UsbIpServer&) = delete;

  int port() const { return port_; }
  const std::string& address() const { return bind_; }
  // Accepts clients, reads and answers requests, sends finished URBs. Never blocks.
  void poll();
  // A client holds the device.
  bool attached() const { return attached_conn_ != 0; }
  std::size_t connections() const { return conns_.size(); }
  // Connection events and the reason a connection was closed.
  void set_message_sink(std::function<void(const std::string&)> fn) { message_ = std::move(fn); }

private:
  struct Conn;
  using ConnId = std::uint64_t;
  void accept_clients();
  void read_from(Conn& c);
  void parse(Conn& c);
  bool parse_op(Conn& c);
  bool parse_urb(Conn& c);
  void flush(Conn& c);
  void close_conn(Conn& c, const std::string& why);
  void reap();
  void say(const std::string& what);
  Conn* find(ConnId id);

  // Device side.
  void prepare_device(std::function<void(bool)> done);
  void probe_next(std::function<void(bool)> done);
  void reply_devlist(Conn& c);
  void reply_import(Conn& c, std::uint32_t status);
  std::vector<std::uint8_t> device_info() const;
  void submit(Conn& c, const std::uint8_t* h, std::vector<std::uint8_t> out);
  void detach();

  Machine& m_;
  UsbHost& host_;
  OtgFs& dev_;
  std::string bind_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::map<ConnId, std::unique_ptr<Conn>> conns_;
  ConnId next_conn_ = 1, attached_conn_ = 0;
  std::vector<std::uint8_t> device_desc_, config_desc_;
  bool preparing_ = false;
  std::vector<std::function<void(bool)>> prepare_waiters_;
  cycles_t attach_deadline_ = 0;
  Scheduler::Handle replug_ev_ = 0;
  std::function<void(const std::string&)> message_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vb
