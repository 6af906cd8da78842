#include "sim/gdb/gdb_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "sim/core/pins.hpp"
#include "sim/core/tcp_listener.hpp"
#include "sim/gdb/target_description.hpp"
#include "sim/periph/gpio.hpp"

namespace vb::gdb {

namespace {

constexpr int kSigInt = 2, kSigIll = 4, kSigTrap = 5, kSigSegv = 11;
// Bound of one single step in device cycles: a step into a sleep waits for
// the next event, which a running board always has well within this.
constexpr cycles_t kStepLimit = 1'000'000'000;

std::string hex8(std::uint32_t v) {
  char b[12];
  std::snprintf(b, sizeof b, "%08x", v);
  return b;
}

std::string hex_number(std::size_t v) {
  char b[20];
  std::snprintf(b, sizeof b, "%zx", v);
  return b;
}

// A register as the protocol sends it: target byte order (little-endian).
std::string le_hex(std::uint32_t v) {
  char b[12];
  std::snprintf(b, sizeof b, "%02x%02x%02x%02x", v & 0xFF, v >> 8 & 0xFF, v >> 16 & 0xFF, v >> 24);
  return b;
}

std::string to_hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (const unsigned char c : bytes) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

bool from_hex(const std::string& text, std::string& bytes) {
  if (text.size() % 2) return false;
  bytes.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned v = 0;
    if (!std::isxdigit(static_cast<unsigned char>(text[i])) || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        std::sscanf(text.c_str() + i, "%2x", &v) != 1)
      return false;
    bytes += static_cast<char>(v);
  }
  return true;
}

// A hex number that makes up all of `text`.
bool parse_hex(const std::string& text, std::uint32_t& v) {
  if (text.empty() || text.size() > 8) return false;
  for (const char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  v = static_cast<std::uint32_t>(std::stoul(text, nullptr, 16));
  return true;
}

// "addr,len" (and the rest after `stop`, if any).
bool parse_addr_len(const std::string& text, std::uint32_t& addr, std::uint32_t& len, std::string* rest = nullptr,
                    char stop = ':') {
  const auto comma = text.find(',');
  if (comma == std::string::npos) return false;
  auto end = rest ? text.find(stop, comma) : text.size();
  if (end == std::string::npos) return false;
  if (!parse_hex(text.substr(0, comma), addr) || !parse_hex(text.substr(comma + 1, end - comma - 1), len)) return false;
  if (rest) *rest = text.substr(end + 1);
  return true;
}

std::uint32_t from_le_hex(const std::string& text) {
  std::string b;
  from_hex(text, b);
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < b.size() && i < 4; ++i) v |= std::uint32_t{static_cast<unsigned char>(b[i])} << (8 * i);
  return v;
}

bool in_flash(std::uint32_t addr, std::uint32_t len) {
  return addr >= 0x08000000 && len <= 0x100000 && addr - 0x08000000 <= 0x100000 - len;
}

// Said when the debugger kills the program (`kill`).
constexpr const char* kKilled = "debugger killed the program; the board is reset, the core halted at the reset vector";

}  // namespace

int fault_signal(const std::string& report) {
  if (report.find("undefined instruction") != std::string::npos || report.find("UsageFault") != std::string::npos)
    return kSigIll;
  if (report.find("BusFault") != std::string::npos || report.find("MemManage") != std::string::npos ||
      report.find("address 0x00000000") != std::string::npos)
    return kSigSegv;
  return kSigTrap;
}

// --- connection -------------------------------------------------------------------

Server::Server(Board& board, ServerOptions opts) : board_(board), opts_(std::move(opts)) {
  if (opts_.port < 0 || opts_.port > 65535) throw std::runtime_error("GDB port " + std::to_string(opts_.port) + " is not a TCP port");
  if (opts_.bind == "localhost") opts_.bind = "127.0.0.1";
  const TcpListener l = listen_tcp(opts_.bind, opts_.port, 1, "GDB server");
  listen_ = l.fd;
  port_ = l.port;
  board_.m().debug_attach(true);
  halted_ = opts_.start_halted;
}

Server::~Server() {
  if (client_ >= 0) close(client_);
  if (listen_ >= 0) close(listen_);
  board_.m().debug_attach(false);
}

void Server::accept_client() {
  sockaddr_storage peer{};
  socklen_t peer_len = sizeof peer;
  const int fd = accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &peer_len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  // A debugger that has detached, or whose connection has closed, makes
  // room at once: GDB reconnects as soon as it has detached, often before
  // the end of the old connection has been read here.
  if (client_ >= 0 && (detached_ || client_gone())) drop_client();
  if (client_ >= 0) {  // one debugger at a time
    static const char busy[] = "$E01#a6";
    (void)!write(fd, busy, sizeof busy - 1);
    close(fd);
    return;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  client_ = fd;
  detached_ = false;
  ack_mode_ = true;
  last_sent_.clear();
  deframer_ = Deframer{};
  // The debugger finds the core halted, as a probe halts it on attach.
  if (!halted_) halt(kSigTrap, "");
  reply_pending_ = false;
  board_.m().message("debugger connected from " + peer_text(peer) + "; the core is halted");
}

bool Server::client_gone() const {
  pollfd p{client_, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLHUP | POLLERR)) return true;
  char c;
  return recv(client_, &c, 1, MSG_PEEK) == 0;
}

void Server::drop_client() {
  if (client_ < 0) return;
  close(client_);
  client_ = -1;
  if (!detached_)
    board_.m().message(std::string("debugger disconnected; the core ") +
                       (halted_ ? "stays halted for the next one" : "runs on"));
  detached_ = false;
  // A debugger that goes away without detaching (it crashed, the line
  // dropped, or it killed the program) takes its breakpoints along but
  // leaves the board as it was: a halted board waits for the next one.
  Machine& m = board_.m();
  m.debug_attach(false);
  m.debug_attach(true);
  reply_pending_ = false;
}

void Server::serve(int wait_ms) {
  pollfd fds[2] = {{listen_, POLLIN, 0}, {client_, POLLIN, 0}};
  if (poll(fds, client_ >= 0 ? 2 : 1, wait_ms) <= 0) return;
  if (fds[0].revents & POLLIN) accept_client();
  if (client_ < 0 || !(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) return;
  char buf[4096];
  const ssize_t n = read(client_, buf, sizeof buf);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    drop_client();
    return;
  }
  if (n < 0) return;
  deframer_.feed(std::string_view(buf, static_cast<std::size_t>(n)));
  for (auto& item : deframer_.take()) {
    if (client_ < 0) return;
    using K = Deframer::Item::Kind;
    switch (item.kind) {
      case K::kAck: break;
      case K::kNack:
        if (!last_sent_.empty()) send_raw(last_sent_);
        break;
      case K::kBadPacket:
        if (ack_mode_) send_raw("-");
        break;
      case K::kInterrupt:
        // Halts a running board; a halted one has nothing to report.
        if (!halted_) halt(kSigInt, "");
        break;
      case K::kPacket:
        if (ack_mode_) send_raw("+");
        handle(item.payload);
        break;
    }
  }
}

void Server::send_raw(const std::string& bytes) {
  if (client_ < 0) return;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(client_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{client_, POLLOUT, 0};
      if (poll(&p, 1, 5000) <= 0) {  // a debugger that stopped reading
        drop_client();
        return;
      }
    } else {
      drop_client();
      return;
    }
  }
}

void Server::send(const std::string& payload) {
  last_sent_ = frame(payload);
  send_raw(last_sent_);
}

void Server::console(const std::string& text) { send("O" + to_hex(text)); }

// --- running and halting ------------------------------------------------------------

void Server::halt(int signal, const std::string& extra) {
  halted_ = true;
  signal_ = signal;
  stop_extra_ = extra;
  if (reply_pending_) {
    reply_pending_ = false;
    send(stop_reply());
  }
}

std::string Server::stop_reply() const {
  char head[8];
  std::snprintf(head, sizeof head, "T%02x", signal_);
  Machine& m = board_.m();
  return head + stop_extra_ + "0f:" + le_hex(m.debug_reg(15)) + ";0d:" + le_hex(m.debug_reg(13)) + ";thread:1;";
}

double Server::run(double ms) {
  Machine& m = board_.m();
  if (halted_) return 0;
  // In steps of at most 1 ms at whatever HCLK runs, as Machine::run_ms
  // does, so a run under the debugger keeps the same time as one without.
  double ran = 0;
  Stop s = Stop::kLimit;
  while (ran < ms && s == Stop::kLimit) {
    const double step = std::min(ms - ran, 1.0);
    const double hz = m.clocks().hclk;
    const cycles_t start = m.now();
    s = m.debug_run(std::max<cycles_t>(1, static_cast<cycles_t>(std::llround(step * hz / 1000.0))), false);
    ran += s == Stop::kLimit ? step : static_cast<double>(m.now() - start) * 1000.0 / hz;
  }
  if (s == Stop::kFault) {
    if (reply_pending_) console("vboard: the firmware faulted:\n" + m.fault_report() + "\n");
    else m.message("the firmware faulted; the board is halted for the debugger:\n" + m.fault_report());
    halt(fault_signal(m.fault_report()), "");
  } else if (s == Stop::kDebug) {
    const DebugEvent& e = m.debug_event();
    std::string extra;
    if (e.kind == DebugEvent::Kind::kWatchpoint) {
      extra = (e.watch == WatchKind::kWrite ? "watch:" : e.watch == WatchKind::kRead ? "rwatch:" : "awatch:") +
              hex8(e.addr) + ";";
    } else if (e.kind == DebugEvent::Kind::kBreakpoint) {
      extra = "hwbreak:;";
    }
    halt(kSigTrap, extra);
  }
  return ran;
}

void Server::resume(bool step) {
  Machine& m = board_.m();
  if (m.faulted()) {  // the core cannot go past the fault
    halted_ = true;
    send(stop_reply());
    return;
  }
  if (!step) {
    halted_ = false;
    reply_pending_ = true;
    return;
  }
  const Stop s = m.debug_run(kStepLimit, true);
  if (s == Stop::kFault) {
    console("vboard: the firmware faulted:\n" + m.fault_report() + "\n");
    signal_ = fault_signal(m.fault_report());
  } else {
    signal_ = kSigTrap;
  }
  stop_extra_.clear();
  halted_ = true;
  send(stop_reply());
}

void Server::reset(bool halt_after) {
  Machine& m = board_.m();
  m.clear_fault();
  m.reset();
  halted_ = halt_after;
  signal_ = kSigTrap;
  stop_extra_.clear();
}

// --- packets ----------------------------------------------------------------------

void Server::handle(const std::string& p) {
  Machine& m = board_.m();
  if (p.empty()) return send("");
  const char op = p[0];
  const std::string args = p.substr(1);
  std::uint32_t addr = 0, len = 0;
  switch (op) {
    case '?': return send(stop_reply());
    case '!': return send("OK");
    case 'g': {
      std::string s;
      for (int i = 0; i < kDebugRegCount; ++i) s += le_hex(m.debug_reg(i));
      return send(s);
    }
    case 'G': {
      if (args.size() != static_cast<std::size_t>(kDebugRegCount) * 8) return send("E01");
      std::string bytes;
      if (!from_hex(args, bytes)) return send("E01");
      for (int i = 0; i < kDebugRegCount; ++i) m.set_debug_reg(i, from_le_hex(args.substr(8 * i, 8)));
      return send("OK");
    }
    case 'p': {
      if (!parse_hex(args, addr) || addr >= static_cast<std::uint32_t>(kDebugRegCount)) return send("E01");
      return send(le_hex(m.debug_reg(static_cast<int>(addr))));
    }
    case 'P': {
      const auto eq = args.find('=');
      std::string bytes;
      if (eq == std::string::npos || !parse_hex(args.substr(0, eq), addr) ||
          addr >= static_cast<std::uint32_t>(kDebugRegCount) || args.size() - eq - 1 != 8 ||
          !from_hex(args.substr(eq + 1), bytes))
        return send("E01");
      m.set_debug_reg(static_cast<int>(addr), from_le_hex(args.substr(eq + 1)));
      return send("OK");
    }
    case 'm': {
      if (!parse_addr_len(args, addr, len) || len > kMaxPacket / 2) return send("E01");
      const std::string bytes = read_memory(addr, len);
      return send(bytes.empty() && len ? "E01" : to_hex(bytes));
    }
    case 'M':
    case 'X': {
      std::string data, bytes;
      if (!parse_addr_len(args, addr, len, &data)) return send("E01");
      if (op == 'M' ? !from_hex(data, bytes) : !unescape(data, bytes)) return send("E01");
      if (bytes.size() != len) return send("E01");
      return send(write_memory(addr, bytes) ? "OK" : "E01");
    }
    case 'c':
    case 's':
    case 'C':
    case 'S': {
      // An address to resume at may follow c/s; a signal after C/S is ignored.
      if ((op == 'c' || op == 's') && !args.empty()) {
        if (!parse_hex(args, addr)) return send("E01");
        m.set_debug_reg(15, addr);
      }
      return resume(op == 's' || op == 'S');
    }
    case 'D':
      send("OK");
      m.debug_attach(false);
      m.debug_attach(true);
      if (!m.faulted()) halted_ = false;
      reply_pending_ = false;
      // The connection stays until the debugger closes it or the next one
      // arrives.
      detached_ = true;
      m.message(std::string("debugger detached; the core ") + (halted_ ? "stays halted (faulted)" : "runs on"));
      return;
    case 'k':
      // Kill: the board goes back to reset and waits, halted.
      reset(true);
      m.message(kKilled);
      return;
    case 'R':
      // Restart (no reply): the same image from reset, halted.
      reset(true);
      return;
    case 'H':
    case 'T': return send("OK");
    case 'Z':
    case 'z': return send(breakpoint(op, args));
    case 'q':
    case 'Q':
    case 'v': break;
    default: return send("");
  }

  // Named packets.
  if (p.rfind("qSupported", 0) == 0)
    // PacketSize is in hex, as every number of the protocol.
    return send("PacketSize=" + hex_number(kMaxPacket) +
                ";qXfer:features:read+;qXfer:memory-map:read+;QStartNoAckMode+;hwbreak+;vContSupported+");
  if (p == "QStartNoAckMode") {
    send("OK");
    ack_mode_ = false;
    return;
  }
  if (p == "qAttached") return send("1");
  if (p == "qC") return send("QC1");
  if (p == "qfThreadInfo") return send("m1");
  if (p == "qsThreadInfo") return send("l");
  if (p == "qSymbol::") return send("OK");
  // The image runs where it is linked.
  if (p == "qOffsets") return send("Text=0;Data=0;Bss=0");
  if (p.rfind("qXfer:features:read:target.xml:", 0) == 0)
    return send(xfer(target_xml(), p.substr(std::strlen("qXfer:features:read:target.xml:"))));
  if (p.rfind("qXfer:memory-map:read::", 0) == 0)
    return send(xfer(memory_map_xml(), p.substr(std::strlen("qXfer:memory-map:read::"))));
  if (p.rfind("qRcmd,", 0) == 0) {
    std::string command;
    if (!from_hex(p.substr(6), command)) return send("E01");
    const std::string out = monitor(command);
    if (!out.empty()) console(out);
    return send("OK");
  }
  if (p == "vCont?") return send("vCont;c;C;s;S");
  if (p.rfind("vCont;", 0) == 0) {
    // All-stop with one thread: the first action decides.
    const char action = p.size() > 6 ? p[6] : 0;
    if (action == 'c' || action == 'C') return resume(false);
    if (action == 's' || action == 'S') return resume(true);
    return send("E01");
  }
  if (p.rfind("vKill", 0) == 0) {
    reset(true);
    m.message(kKilled);
    return send("OK");
  }
  if (p.rfind("vRun", 0) == 0) {
    // `run` starts the image the board holds over, from reset, halted at
    // the reset vector (the file name and arguments mean nothing here).
    reset(true);
    m.message("debugger restarted the board; the core is halted at the reset vector");
    return send(stop_reply());
  }
  if (p.rfind("vFlashErase:", 0) == 0) {
    if (!parse_addr_len(p.substr(12), addr, len) || !in_flash(addr, len)) return send("E01");
    // Erased flash reads as all ones.
    return send(m.program_flash(addr, std::vector<std::uint8_t>(len, 0xFF)) ? "OK" : "E01");
  }
  if (p.rfind("vFlashWrite:", 0) == 0) {
    const auto colon = p.find(':', 12);
    std::string bytes;
    if (colon == std::string::npos || !parse_hex(p.substr(12, colon - 12), addr) || !unescape(p.substr(colon + 1), bytes) ||
        !in_flash(addr, static_cast<std::uint32_t>(bytes.size())))
      return send("E01");
    const std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
    return send(m.program_flash(addr, data) ? "OK" : "E01");
  }
  if (p == "vFlashDone") {
    // As a probe's server does after programming: the board is reset and
    // waits, halted, so the new image starts from a reset clock tree (the
    // old image's PLL still running would not let it set up its clocks).
    reset(true);
    m.message("flash programmed by the debugger; the board is reset, the core halted at the reset vector");
    return send("OK");
  }
  return send("");  // not supported
}

std::string Server::xfer(const std::string& doc, const std::string& range) {
  std::uint32_t off = 0, len = 0;
  if (!parse_addr_len(range, off, len)) return "E01";
  if (off >= doc.size()) return "l";
  const std::string part = doc.substr(off, std::min<std::size_t>(len, kMaxPacket - 1));
  return (off + part.size() < doc.size() ? "m" : "l") + part;
}

std::string Server::breakpoint(char op, const std::string& args) {
  Machine& m = board_.m();
  if (args.size() < 2 || args[1] != ',') return "E01";
  const char type = args[0];
  std::uint32_t addr = 0, kind = 0;
  if (!parse_addr_len(args.substr(2), addr, kind)) return "E01";
  const bool add = op == 'Z';
  switch (type) {
    case '0':
    case '1':
      // Thumb instructions: 2 bytes, or 4 (kind 3 is a 32-bit Thumb-2
      // instruction), at even addresses in code memory.
      if ((addr & 1) || (kind != 2 && kind != 3 && kind != 4)) return "E01";
      if (m.model_at(addr) || !m.peek(addr, 2)) return "E01";  // code runs from memory only
      if (add) return m.add_breakpoint(addr) ? "OK" : "E01";
      m.remove_breakpoint(addr);
      return "OK";
    case '2':
    case '3':
    case '4': {
      const WatchKind wk = type == '2' ? WatchKind::kWrite : type == '3' ? WatchKind::kRead : WatchKind::kAccess;
      if (add) return m.add_watchpoint(addr, kind, wk) ? "OK" : "E01";
      m.remove_watchpoint(addr, kind, wk);
      return "OK";
    }
    default: return "";
  }
}

// --- memory -----------------------------------------------------------------------

std::string Server::read_memory(std::uint32_t addr, std::uint32_t len) {
  Machine& m = board_.m();
  std::string out;
  // Peripheral registers are read as whole words where the range allows,
  // as the core would; the readable prefix is returned.
  while (out.size() < len) {
    const std::uint32_t a = addr + static_cast<std::uint32_t>(out.size());
    const std::uint32_t left = len - static_cast<std::uint32_t>(out.size());
    const unsigned size = (a % 4 == 0 && left >= 4) ? 4 : (a % 2 == 0 && left >= 2) ? 2 : 1;
    unsigned got = size;
    auto v = m.peek(a, size);
    if (!v && size > 1) {
      got = 1;
      v = m.peek(a, 1);
    }
    if (!v) break;
    for (unsigned i = 0; i < got; ++i) out += static_cast<char>(*v >> (8 * i) & 0xFF);
  }
  return out;
}

bool Server::write_memory(std::uint32_t addr, const std::string& bytes) {
  Machine& m = board_.m();
  // Memory takes the bytes as they are (code there is translated afresh);
  // peripheral registers are written through their models.
  try {
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    m.load_bytes(addr, std::span<const std::uint8_t>(p, bytes.size()));
    return true;
  } catch (const std::exception&) {
  }
  try {
    std::size_t i = 0;
    while (i < bytes.size()) {
      const std::uint32_t a = addr + static_cast<std::uint32_t>(i);
      const std::size_t left = bytes.size() - i;
      auto b = [&](std::size_t k) { return std::uint32_t{static_cast<unsigned char>(bytes[i + k])}; };
      if (a % 4 == 0 && left >= 4) {
        m.write32(a, b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24);
        i += 4;
      } else if (a % 2 == 0 && left >= 2) {
        m.write16(a, static_cast<std::uint16_t>(b(0) | b(1) << 8));
        i += 2;
      } else {
        m.write8(a, static_cast<std::uint8_t>(b(0)));
        i += 1;
      }
    }
  } catch (const std::out_of_range&) {
    return false;
  }
  return true;
}

// --- monitor commands -----------------------------------------------------------------

std::string Server::monitor(const std::string& command) {
  Machine& m = board_.m();
  if (command == "reset halt" || command == "reset init") {
    reset(true);
    return "board reset; the core is halted at the reset vector, PC " + hex8(m.debug_reg(15) & ~1u) + "\n";
  }
  if (command == "reset run" || command == "reset") {
    // The core runs on while the debugger believes it halted, as with a
    // probe; interrupt or continue to stop it again.
    reset(false);
    return "board reset; the core runs from the reset vector\n";
  }
  if (command == "board") {
    const ClockTree& c = m.clocks();
    char line[200];
    std::string s;
    std::snprintf(line, sizeof line, "device time  %.3f ms (cycle %llu, HCLK %u Hz)\n", m.device_ms(),
                  static_cast<unsigned long long>(m.now()), c.hclk);
    s += line;
    std::snprintf(line, sizeof line, "clocks       SYSCLK %u, PCLK1 %u, PCLK2 %u, 48 MHz domain %u, RTCCLK %u Hz\n",
                  c.sysclk, c.pclk1, c.pclk2, c.clk48, c.rtcclk);
    s += line;
    const auto rcc = [&](std::uint32_t off) { return m.peek(0x40023800 + off, 4).value_or(0); };
    std::snprintf(line, sizeof line, "peripheral clock enables  AHB1ENR %08x  APB1ENR %08x  APB2ENR %08x\n", rcc(0x30),
                  rcc(0x40), rcc(0x44));
    s += line;
    s += "pins (level of pin 15 ... 0)\n";
    for (int port = 0; port < 5; ++port) {
      std::string levels;
      for (int n = 15; n >= 0; --n) {
        levels += board_.gpio().level(Pin{static_cast<std::uint8_t>(port), static_cast<std::uint8_t>(n)}) ? '1' : '0';
        if (n % 4 == 0 && n) levels += ' ';
      }
      s += std::string("  P") + static_cast<char>('A' + port) + "  " + levels + "\n";
    }
    s += std::string("core         ") + (halted_ ? "halted" : "running") + ", " + m.where() + "\n";
    if (m.faulted()) s += "fault        " + m.fault_report() + "\n";
    return s;
  }
  if (command == "help" || command.empty())
    return "monitor commands:\n  reset halt   reset the board, the core halted at the reset vector\n"
           "  reset run    reset the board and let it run (continue, then Ctrl-C, halts it)\n"
           "  board        device time, clocks, peripheral clock enables, pins, core state\n";
  return "unknown monitor command '" + command + "' (monitor help lists them)\n";
}

}  // namespace vb::gdb
