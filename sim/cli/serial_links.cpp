#include "sim/cli/serial_links.hpp"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "sim/board/board.hpp"
#include "sim/periph/usart.hpp"

namespace vb::cli {
namespace {

// The terminal as it was before raw mode; restored by every exit path.
struct SavedTerminal {
  int fd = -1;
  termios tio{};
} g_saved;

void restore_terminal() {
  if (g_saved.fd >= 0) tcsetattr(g_saved.fd, TCSAFLUSH, &g_saved.tio);
}

void restore_and_reraise(int sig) {
  restore_terminal();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void write_all(int fd, const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;  // the reader is gone; nothing sensible to do with the bytes
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

}  // namespace

double termios_rate(unsigned speed) {
  static const struct { speed_t code; double rate; } table[] = {
      {B300, 300},       {B600, 600},       {B1200, 1200},     {B2400, 2400},     {B4800, 4800},
      {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
      {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
  };
  for (const auto& e : table)
    if (e.code == speed) return e.rate;
  return 0;
}

// --- terminal console --------------------------------------------------------

TerminalConsole::TerminalConsole(Board& board, int in_fd, int out_fd) : in_fd_(in_fd), out_fd_(out_fd) {
  termios tio{};
  if (tcgetattr(in_fd_, &tio) != 0) throw std::runtime_error("stdin is not a terminal");
  g_saved = {in_fd_, tio};
  std::atexit(restore_terminal);
  for (int sig : {SIGTERM, SIGHUP, SIGQUIT, SIGSEGV, SIGABRT, SIGBUS, SIGFPE})
    std::signal(sig, restore_and_reraise);
  std::set_terminate([] {
    restore_terminal();
    std::abort();
  });

  // Raw input (no echo, no line editing, no signals from keys, no flow
  // control); output post-processing stays on so board messages on stderr
  // still start at the left margin.
  termios raw = tio;
  raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  raw.c_cflag |= CS8;
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  tcsetattr(in_fd_, TCSAFLUSH, &raw);

  Usart& port = board.usart3();
  port.set_peer_baud(115200);
  port.on_peer_byte([this](const LineByte& b) { write_all(out_fd_, &b.data, 1); });

  add_command({'q', "quit", [](Board&) { Runner::stop_requested().store(true); }});
  add_command({'?', "list the board commands", [this](Board&) {
                 const std::string text = help_text();
                 write_all(out_fd_, text.data(), text.size());
               }});
}

TerminalConsole::~TerminalConsole() { restore_terminal(); }

void TerminalConsole::close(Board& board) {
  board.usart3().on_peer_byte({});
  restore_terminal();
}

std::string TerminalConsole::help_text() const {
  std::string t = "\r\n[board commands: Ctrl-] then]\r\n";
  for (const BoardCommand& c : commands_) {
    t += "  ";
    t += c.key;
    t += "  " + c.help + "\r\n";
  }
  t += "  Ctrl-]  send Ctrl-] to the console\r\n";
  return t;
}

void TerminalConsole::key(Board& board, std::uint8_t c) {
  if (!prefix_) {
    if (c == kPrefix) prefix_ = true;
    else board.usart3().peer_send_byte(c);
    return;
  }
  prefix_ = false;
  if (c == kPrefix) {
    board.usart3().peer_send_byte(c);
    return;
  }
  for (const BoardCommand& cmd : commands_) {
    if (cmd.key == static_cast<char>(c)) {
      cmd.run(board);
      return;
    }
  }
  const std::string text = "\r\n[unknown board command; Ctrl-] ? lists them]\r\n";
  write_all(out_fd_, text.data(), text.size());
}

void TerminalConsole::poll(Board& board) {
  std::uint8_t buf[256];
  const ssize_t n = ::read(in_fd_, buf, sizeof buf);
  for (ssize_t i = 0; i < n; ++i) key(board, buf[i]);
}

// --- capture to a file or pipe -------------------------------------------------

ConsoleCapture::ConsoleCapture(Board& board, int out_fd) {
  Usart& port = board.usart3();
  port.set_peer_baud(115200);
  port.on_peer_byte([out_fd](const LineByte& b) { write_all(out_fd, &b.data, 1); });
}

// --- pseudo-terminal -----------------------------------------------------------

PtyPort::PtyPort(Usart& port) : port_(port) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
    throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
  path_ = ptsname(master_);
  // Keep the far side open ourselves: the master then never reads end-of-file
  // while no program has the path open, and its settings can be read.
  slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave_ < 0) throw std::runtime_error("cannot open " + path_ + ": " + std::strerror(errno));
  termios tio{};
  tcgetattr(slave_, &tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  tcsetattr(slave_, TCSANOW, &tio);

  port_.set_peer_baud(115200);
  port_.on_peer_byte([this](const LineByte& b) {
    if (::write(master_, &b.data, 1) != 1) ++dropped_;
  });
}

PtyPort::~PtyPort() {
  port_.on_peer_byte({});
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
}

void PtyPort::poll(Board&) {
  termios tio{};
  if (tcgetattr(slave_, &tio) == 0) {
    const double rate = termios_rate(cfgetospeed(&tio));
    if (rate > 0) port_.set_peer_baud(rate);
  }
  char buf[256];
  const ssize_t n = ::read(master_, buf, sizeof buf);
  if (n > 0) port_.peer_send(std::string_view(buf, static_cast<std::size_t>(n)));
}

LoopBack::LoopBack(Usart& port) : port_(port) {
  port_.on_peer_byte([this](const LineByte& b) {
    port_.set_peer_baud(port_.baud());
    port_.peer_send_byte(b.data);
  });
}

LoopBack::~LoopBack() { port_.on_peer_byte({}); }

void LoopBack::poll(Board&) {
  if (port_.baud() > 0) port_.set_peer_baud(port_.baud());
}

}  // namespace vb::cli
