// The board's serial ports on the host: USART3 on the terminal (or on
// stdout when that is a file or pipe), USART2 on a pseudo-terminal or looped
// back, and the board commands behind the Ctrl-] prefix.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/cli/runner.hpp"

namespace vb {
class Usart;
}

namespace vb::cli {

// Bytes for an output descriptor, gathered during a slice and written
// between slices. The first failed write is kept and nothing more is
// written after it.
class FdWriter {
public:
  FdWriter(int fd, std::string what) : fd_(fd), what_(std::move(what)) {}
  void add(char c) { pending_ += c; }
  void add(const std::string& s) { pending_ += s; }
  // Writes what is held; returns "" or the failure ("cannot write to
  // stdout: No space left on device").
  std::string flush();

private:
  int fd_;
  std::string what_;
  std::string pending_;
  std::string error_;
};

// A board command: Ctrl-] then `key`.
struct BoardCommand {
  char key;
  std::string help;
  std::function<void(Board&)> run;
};

// USART3 on an interactive terminal: stdin in raw mode, typed bytes go to
// the console as its line carries them, what the console sends is shown.
// Ctrl-] starts a board command: `q` quits, `z` suspends, `?` lists the
// commands, Ctrl-] again sends 0x1D. The terminal settings are restored on
// every way out (destructor, exit, fatal signals) and while the process is
// stopped (SIGTSTP); raw mode comes back when it continues in the
// foreground. A terminal that closes or hangs up ends the run.
class TerminalConsole : public HostLink {
public:
  static constexpr char kPrefix = 0x1D;  // Ctrl-]
  TerminalConsole(Board& board, int in_fd, int out_fd);
  ~TerminalConsole() override;
  void add_command(BoardCommand cmd) { commands_.push_back(std::move(cmd)); }
  void poll(Board& board) override;
  void close(Board& board) override;
  // The command list as shown by `?`.
  std::string help_text() const;
  // Handles one typed byte (public for tests of the key handling).
  void key(Board& board, std::uint8_t c);
  // Shows `text` on a line of its own on stderr (see board_line).
  void interject(const std::string& text);
  // Stderr is this terminal: board lines are interjected.
  bool shares_stderr() const { return shares_stderr_; }

private:
  void shown(char c);  // keeps track of the unfinished line
  void show_line_again();  // after board lines, the unfinished line once more
  void answer(const std::string& text);  // a board command's answer on the console

  int in_fd_;
  FdWriter out_;
  std::string line_;  // what the console has shown since its last line end
  bool line_owed_ = false;  // board lines came after it: show it again
  bool shares_stderr_ = false;
  bool prefix_ = false;
  std::vector<BoardCommand> commands_;
};

// Puts the console's terminal back as it was before raw mode (no-op without
// a TerminalConsole). Safe in a signal handler.
void restore_console_terminal();

// A line for stderr: board messages, trace lines, board commands' answers.
// When stderr is the console's terminal the line starts on a line of its
// own and the console's unfinished line is shown again after it, so neither
// breaks the other.
void board_line(const std::string& text);

// True when `fd` is a terminal whose foreground process group is this
// process's, or a terminal that is not the controlling one (no job control
// applies to it); false for a run started in the background.
bool in_terminal_foreground(int fd);

// USART3 to a file or pipe: the bytes exactly as the console sent them. A
// failed write (disk full, reader gone) ends the run.
class ConsoleCapture : public HostLink {
public:
  ConsoleCapture(Board& board, int out_fd);
  void poll(Board&) override;
  void close(Board& board) override;

private:
  FdWriter out_;
};

// A pipe or file (stdin when it is not a terminal) typed into USART3 at the
// line's rate in device time, from the moment the firmware first enables
// the port's receiver: read only as fast as the line carries it. At its end
// the board runs on without more input.
class ConsoleInput : public HostLink {
public:
  explicit ConsoleInput(int in_fd) : in_fd_(in_fd) {}
  void poll(Board& board) override;
  bool ended() const { return ended_; }

private:
  int in_fd_;
  bool started_ = false;
  bool ended_ = false;
};

// A port on a pseudo-terminal: open the printed path with any serial
// program. The far end's rate follows the rate that program sets on it, so
// the firmware's rate search can find it.
class PtyPort : public HostLink {
public:
  explicit PtyPort(Usart& port);
  ~PtyPort() override;
  const std::string& path() const { return path_; }
  void poll(Board& board) override;
  // Bytes the port sent that the pty could not take (nobody reading).
  std::uint64_t dropped() const { return dropped_; }

private:
  Usart& port_;
  int master_ = -1, slave_ = -1;
  std::string path_;
  std::uint64_t dropped_ = 0;
};

// A wire from the port's TX to its RX: what it sends comes straight back,
// at whatever rate the port runs.
class LoopBack : public HostLink {
public:
  explicit LoopBack(Usart& port);
  ~LoopBack() override;
  void poll(Board& board) override;

private:
  Usart& port_;
};

// Bytes the console line (USART3) can take now without what is queued on
// it reaching more than a runner slice ahead of the clock: what typed input
// may hand over between two slices.
std::size_t console_line_room(Board& board);

// Rate of a termios speed constant (B9600 -> 9600); 0 when unknown.
double termios_rate(unsigned speed);

}  // namespace vb::cli
