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

// A board command: Ctrl-] then `key`.
struct BoardCommand {
  char key;
  std::string help;
  std::function<void(Board&)> run;
};

// USART3 on an interactive terminal: stdin in raw mode, typed bytes go to
// the console, what the console sends is shown. Ctrl-] starts a board
// command: `q` quits, `?` lists the commands, Ctrl-] again sends 0x1D.
// The terminal settings are restored on every way out (destructor, exit,
// fatal signals).
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

private:
  int in_fd_, out_fd_;
  bool prefix_ = false;
  std::vector<BoardCommand> commands_;
};

// USART3 to a file or pipe: the bytes exactly as the console sent them.
class ConsoleCapture : public HostLink {
public:
  ConsoleCapture(Board& board, int out_fd);
  void poll(Board&) override {}
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

// Rate of a termios speed constant (B9600 -> 9600); 0 when unknown.
double termios_rate(unsigned speed);

}  // namespace vb::cli
