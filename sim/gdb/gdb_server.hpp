// A GDB remote-serial-protocol server for the virtual board: the debugger
// connects over TCP as it would to a probe's server, halts and resumes the
// core, sets breakpoints and watchpoints, reads and writes registers and
// memory (peripheral registers without read side effects) and programs the
// flash. Faults the board reports halt the core under the debugger instead
// of ending the run.
//
// One debugger at a time; the listening socket stays open, so a debugger
// may detach and another attach later. While the board is halted its time
// stands still.
#pragma once
#include <cstdint>
#include <string>

#include "sim/board/board.hpp"
#include "sim/gdb/rsp_framing.hpp"

namespace vb::gdb {

struct ServerOptions {
  int port = 3333;                  // 0: any free port (see port())
  std::string bind = "127.0.0.1";   // numeric IPv4 or IPv6 address, or localhost
  bool start_halted = true;         // halted at the reset vector until continued
};

// The signal a fault report stands for: SIGILL for undefined instructions
// and other usage faults, SIGSEGV for bad accesses, SIGTRAP otherwise.
int fault_signal(const std::string& report);

class Server {
public:
  // Listens at once; throws std::runtime_error with the reason when it cannot.
  Server(Board& board, ServerOptions opts);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  int port() const { return port_; }
  bool halted() const { return halted_; }
  bool connected() const { return client_ >= 0; }
  // Accepts a debugger, reads what it sent and answers; waits up to
  // `wait_ms` of host time for input when there is none.
  void serve(int wait_ms);
  // Runs the board for `ms` of device time unless halted; stops early at a
  // breakpoint, watchpoint or fault (then halts and tells the debugger).
  // Returns the device time that passed.
  double run(double ms);

private:
  void accept_client();
  void drop_client();
  bool client_gone() const;  // the debugger's end of the connection has closed
  void handle(const std::string& packet);
  void send(const std::string& payload);
  void send_raw(const std::string& bytes);
  void console(const std::string& text);  // "O" output packets
  void halt(int signal, const std::string& why);
  std::string stop_reply() const;
  void resume(bool step);
  void reset(bool halt_after);
  std::string monitor(const std::string& command);
  std::string read_memory(std::uint32_t addr, std::uint32_t len);
  bool write_memory(std::uint32_t addr, const std::string& bytes);
  std::string xfer(const std::string& annex_doc, const std::string& range);
  std::string breakpoint(char op, const std::string& args);

  Board& board_;
  ServerOptions opts_;
  int listen_ = -1, client_ = -1, port_ = 0;
  Deframer deframer_;
  bool ack_mode_ = true;
  bool detached_ = false;       // the debugger detached; its connection may linger
  std::string last_sent_;
  bool halted_ = true;
  bool reply_pending_ = false;  // a continue waits for its stop reply
  int signal_ = 5;
  std::string stop_extra_;      // "watch:addr;" and the like
};

}  // namespace vb::gdb
