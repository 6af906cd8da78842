#include "sim/cli/serial_links.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "sim/board/board.hpp"
#include "sim/cli/pty.hpp"
#include "sim/periph/usart.hpp"

namespace vb::cli {
namespace {

// The terminal as it was before raw mode, and raw mode itself; restored and
// re-entered from signal handlers, so plain data set before they are armed.
struct SavedTerminal {
  int fd = -1;
  termios cooked{};
  termios raw{};
} g_term;
// Set when the process was continued (SIGCONT): raw mode is entered again
// at the next poll, once the process is in the terminal's foreground.
volatile std::sig_atomic_t g_reenter_raw = 0;
// The terminal is in raw mode now. Restoring it only then keeps a process
// continued in the background (already cooked) from being stopped again by
// SIGTTOU when it changes the terminal on its way out.
volatile std::sig_atomic_t g_is_raw = 0;
// The console on the terminal, for board_line().
TerminalConsole* g_console = nullptr;

void enter_raw(int when) {
  if (tcsetattr(g_term.fd, when, &g_term.raw) == 0) g_is_raw = 1;
}

void restore_and_reraise(int sig) {
  restore_console_terminal();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// SIGTSTP (kill -TSTP, or Ctrl-] z): the terminal goes back to how the shell
// left it while the process is stopped, then raw mode comes back.
void on_stop_signal(int) {
  const int saved_errno = errno;
  restore_console_terminal();
  std::signal(SIGTSTP, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  std::raise(SIGTSTP);  // stops here until SIGCONT
  std::signal(SIGTSTP, on_stop_signal);
  g_reenter_raw = 1;
  errno = saved_errno;
}

void on_continue_signal(int) {
  g_reenter_raw = 1;
  Runner::note_continued();
}

void install(int sig, void (*handler)(int)) {
  struct sigaction sa{};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(sig, &sa, nullptr);
}

// Writes everything, waiting while a non-blocking descriptor is full.
// Returns 0, or the errno of the failure.
int write_all(int fd, const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd pfd{fd, POLLOUT, 0};
        ::poll(&pfd, 1, -1);
        continue;
      }
      return errno;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

// How much device time of input may wait on the console line: one runner
// slice and then some, so the line never runs dry between two polls while
// the input has bytes, and input is never read far ahead of the line.
constexpr double kInputAheadMs = 20;

}  // namespace

// Bytes the console line can take now without what is queued on it
// reaching further than kInputAheadMs ahead of the clock.
std::size_t console_line_room(Board& board) {
  Machine& m = board.m();
  const Usart& port = board.usart3();
  const double hclk = m.clocks().hclk;
  if (hclk <= 0 || port.peer_baud() <= 0) return 0;
  const double byte_cycles = 10.0 * hclk / port.peer_baud();
  const double now = static_cast<double>(m.now());
  const double busy_until = std::max(now, static_cast<double>(port.peer_done_at()));
  const double horizon = now + kInputAheadMs * hclk / 1000.0;
  if (busy_until >= horizon) return 0;
  return std::max<std::size_t>(1, static_cast<std::size_t>((horizon - busy_until) / byte_cycles));
}

namespace {

enum class ReadResult { kBytes, kNothing, kEnd, kError };

// A read that never blocks: whatever the descriptor has now, at most `n`.
ReadResult read_now(int fd, std::uint8_t* buf, std::size_t n, std::size_t& got) {
  got = 0;
  pollfd pfd{fd, POLLIN, 0};
  const int ready = ::poll(&pfd, 1, 0);
  if (ready < 0) return errno == EINTR ? ReadResult::kNothing : ReadResult::kError;
  if (ready == 0) return ReadResult::kNothing;
  if (pfd.revents & POLLNVAL) {
    errno = EBADF;
    return ReadResult::kError;
  }
  const ssize_t r = ::read(fd, buf, n);
  if (r > 0) {
    got = static_cast<std::size_t>(r);
    return ReadResult::kBytes;
  }
  if (r == 0) return ReadResult::kEnd;
  return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? ReadResult::kNothing : ReadResult::kError;
}

}  // namespace

bool in_terminal_foreground(int fd) {
  const pid_t fg = tcgetpgrp(fd);
  return fg == getpgrp() || (fg < 0 && errno == ENOTTY);
}

void board_line(const std::string& text) {
  if (g_console && g_console->shares_stderr()) {
    g_console->interject(text);
    return;
  }
  // Raw mode keeps output post-processing, so "\n" starts a new line.
  const std::string line = text + "\n";
  write_all(STDERR_FILENO, line.data(), line.size());
}

void restore_console_terminal() {
  if (g_term.fd < 0 || !g_is_raw) return;
  tcsetattr(g_term.fd, TCSAFLUSH, &g_term.cooked);
  g_is_raw = 0;
}


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

// --- output to a descriptor ----------------------------------------------------

std::string FdWriter::flush() {
  if (!error_.empty()) pending_.clear();  // nothing more goes out after a failure
  if (pending_.empty()) return error_;
  if (const int err = write_all(fd_, pending_.data(), pending_.size()))
    error_ = "cannot write to " + what_ + ": " + std::strerror(err);
  pending_.clear();
  return error_;
}

// --- terminal console --------------------------------------------------------

TerminalConsole::TerminalConsole(Board& board, int in_fd, int out_fd)
    : in_fd_(in_fd), out_(out_fd, "the console terminal") {
  termios tio{};
  if (tcgetattr(in_fd_, &tio) != 0) throw std::runtime_error("stdin is not a terminal");
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
  g_term = {in_fd_, tio, raw};
  std::atexit(restore_console_terminal);
  for (int sig : {SIGQUIT, SIGSEGV, SIGABRT, SIGBUS, SIGFPE}) std::signal(sig, restore_and_reraise);
  install(SIGTSTP, on_stop_signal);
  install(SIGCONT, on_continue_signal);
  std::set_terminate([] {
    restore_console_terminal();
    std::abort();
  });
  enter_raw(TCSAFLUSH);

  Usart& port = board.usart3();
  port.set_peer_baud(115200);
  port.on_peer_byte([this](const LineByte& b) { shown(static_cast<char>(b.data)); });
  // Board lines on stderr are fitted between the console's lines when both
  // show on this terminal.
  struct stat out_st{}, err_st{};
  shares_stderr_ = isatty(STDERR_FILENO) && fstat(out_fd, &out_st) == 0 && fstat(STDERR_FILENO, &err_st) == 0 &&
                   out_st.st_rdev == err_st.st_rdev;
  g_console = this;

  add_command({'q', "quit", [](Board&) { Runner::request_stop(); }});
  // As the shell's Ctrl-Z: the whole foreground job stops (`make run` with
  // its vboard), so the shell takes the terminal back; fg continues both.
  // The terminal is put back first, while this process still has it: the
  // shell takes it over as soon as it sees the job stop.
  // This process stops by the signal's default action, inside kill(), not
  // by a handler raising it again: the shell may report the job stopped as
  // soon as the parent stops, and an fg typed at once must never find this
  // process still on its way to stopping (a SIGCONT that came first would be
  // used up, and the stop raised after it would last for ever). A SIGCONT
  // that comes before the stop takes effect cancels it instead.
  add_command({'z', "suspend vboard (the shell's fg resumes it)", [this](Board&) {
                 if (tcgetpgrp(in_fd_) != getpgrp()) return (void)std::raise(SIGTSTP);
                 restore_console_terminal();
                 struct sigaction stop{}, handler{};
                 stop.sa_handler = SIG_DFL;
                 sigemptyset(&stop.sa_mask);
                 sigaction(SIGTSTP, &stop, &handler);
                 ::kill(0, SIGTSTP);  // stopped here, with the whole job, until fg or bg
                 sigaction(SIGTSTP, &handler, nullptr);
                 g_reenter_raw = 1;
               }});
  add_command({'?', "list the board commands", [this](Board&) { answer(help_text()); }});
}

TerminalConsole::~TerminalConsole() {
  if (g_console == this) g_console = nullptr;
  restore_console_terminal();
}

void TerminalConsole::shown(char c) {
  show_line_again();
  out_.add(c);
  if (c == '\n' || c == '\r') {
    line_.clear();
  } else {
    constexpr std::size_t kLongest = 1024;  // a line without an end keeps its tail
    if (line_.size() >= kLongest) line_.erase(0, line_.size() - kLongest + 1);
    line_ += c;
  }
}

void TerminalConsole::interject(const std::string& text) {
  // What the console sent before the line shows before it.
  if (const std::string err = out_.flush(); !err.empty()) fail(err);
  std::string s = line_.empty() || line_owed_ ? "" : "\r\n";
  s += text + "\r\n";
  write_all(STDERR_FILENO, s.data(), s.size());
  // The unfinished line is shown again when the console goes on, or at the
  // next poll: once after several board lines in a row.
  line_owed_ = !line_.empty();
}

void TerminalConsole::answer(const std::string& text) {
  // As a board line, but on the console's own output: from the left margin,
  // then the unfinished line again.
  out_.add(line_.empty() || line_owed_ ? text : "\r\n" + text);
  line_owed_ = !line_.empty();
}

void TerminalConsole::show_line_again() {
  if (!line_owed_) return;
  line_owed_ = false;
  out_.add(line_);
}

void TerminalConsole::close(Board& board) {
  board.usart3().on_peer_byte({});
  if (const std::string err = out_.flush(); !err.empty()) fail(err);
  restore_console_terminal();
}

std::string TerminalConsole::help_text() const {
  std::string t = "[board commands: Ctrl-] then]\r\n";
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
  answer("[unknown board command; Ctrl-] ? lists them]\r\n");
}

void TerminalConsole::poll(Board& board) {
  // Raw mode again after a stop, once in the foreground (from the
  // background, changing the terminal would stop the process again). A
  // terminal that is not our controlling one has no foreground to wait for.
  const bool in_front = in_terminal_foreground(in_fd_);
  if (g_reenter_raw && in_front) {
    g_reenter_raw = 0;
    enter_raw(TCSADRAIN);  // keys typed meanwhile are kept
  }
  show_line_again();
  if (const std::string err = out_.flush(); !err.empty()) return fail(err);
  // Continued in the background (the shell's bg): the keys are the shell's,
  // and reading them would stop the run.
  if (!in_front) return;
  // Typed bytes go to the console as its line carries them; the rest wait
  // in the terminal.
  std::uint8_t buf[256];
  std::size_t got = 0;
  const std::size_t room = std::min(sizeof buf, console_line_room(board));
  if (room == 0) return;
  switch (read_now(in_fd_, buf, room, got)) {
    case ReadResult::kBytes:
      for (std::size_t i = 0; i < got; ++i) key(board, buf[i]);
      break;
    case ReadResult::kNothing:
      break;
    case ReadResult::kEnd:
      return fail("the console terminal closed");
    case ReadResult::kError:
      return fail(std::string("the console terminal went away: ") + std::strerror(errno));
  }
}

// --- console on stdin and stdout when they are not a terminal -------------------

ConsoleCapture::ConsoleCapture(Board& board, int out_fd) : out_(out_fd, "stdout") {
  Usart& port = board.usart3();
  port.set_peer_baud(115200);
  port.on_peer_byte([this](const LineByte& b) { out_.add(static_cast<char>(b.data)); });
}

void ConsoleCapture::poll(Board&) {
  if (const std::string err = out_.flush(); !err.empty()) fail(err);
}

void ConsoleCapture::close(Board& board) {
  board.usart3().on_peer_byte({});
  if (const std::string err = out_.flush(); !err.empty()) fail(err);
}

void ConsoleInput::poll(Board& board) {
  // Input waits for the firmware to enable the console's receiver, as a
  // person waits for the console to come up; after that it goes as it is.
  const std::uint32_t on = Usart::CR1_UE | Usart::CR1_RE;
  if (!started_) started_ = (board.usart3().peek(Usart::kCR1) & on) == on;
  if (ended_ || !started_) return;
  std::uint8_t buf[4096];
  std::size_t got = 0;
  const std::size_t room = std::min(sizeof buf, console_line_room(board));
  if (room == 0) return;
  switch (read_now(in_fd_, buf, room, got)) {
    case ReadResult::kBytes:
      board.usart3().peer_send(std::string_view(reinterpret_cast<const char*>(buf), got));
      break;
    case ReadResult::kNothing:
      break;
    case ReadResult::kEnd:
      ended_ = true;
      break;
    case ReadResult::kError:
      ended_ = true;
      board.m().message(std::string("console input: cannot read stdin (") + std::strerror(errno) +
                        "); no more input, the board runs on");
      break;
  }
}

// --- pseudo-terminal -----------------------------------------------------------

PtyPort::PtyPort(Usart& port) : port_(port) {
  // Keep the far side open ourselves: the master then never reads end-of-file
  // while no program has the path open, and its settings can be read.
  master_ = open_raw_pty(path_, slave_, true, B115200);

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
