// vboard as a user runs it: a separate process with stdin and stdout on
// files, pipes or a pseudo-terminal, checked by what it prints and its exit
// status.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t count(const std::string& s, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

// What a finished run left.
struct Finished {
  int status = -1;  // exit status, or 128 + N when signal N killed it
  std::string out, err;
};

// A vboard process with the given stdin and stdout; stderr is a pipe read
// here.
class Vboard {
public:
  Vboard(const std::vector<std::string>& args, int in, int out) {
    int err[2];
    EXPECT_EQ(0, pipe(err));
    pid_ = fork();
    if (pid_ == 0) {
      // Its own process group (job control as under a shell); a memory
      // ceiling and an alarm, so that reading for ever or blocking fails
      // the test instead of taking the machine with it.
      setpgid(0, 0);
      const rlimit mem{4ull << 30, 4ull << 30};
      setrlimit(RLIMIT_AS, &mem);
      alarm(120);
      dup2(in, STDIN_FILENO);
      dup2(out, STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      for (int fd = 3; fd < 256; ++fd) close(fd);
      std::vector<char*> argv{const_cast<char*>(VBOARD)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(VBOARD, argv.data());
      _exit(127);
    }
    close(err[1]);
    err_ = err[0];
  }
  Vboard(const Vboard&) = delete;
  Vboard& operator=(const Vboard&) = delete;
  ~Vboard() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(err_);
  }

  pid_t pid() const { return pid_; }
  // Reads stderr until it shows `text`; false when it ended first.
  bool wait_for_err(const std::string& text) {
    while (err_text_.find(text) == std::string::npos) {
      char buf[1024];
      const ssize_t n = read(err_, buf, sizeof buf);
      if (n <= 0) return false;
      err_text_.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }
  // Waits for the process to stop (job control); false when it ended.
  bool wait_stopped() {
    int st = 0;
    return waitpid(pid_, &st, WUNTRACED) == pid_ && WIFSTOPPED(st);
  }
  // Everything on stderr until the process ends, and how it ended.
  Finished finish() {
    wait_for_err(std::string(1, '\0'));  // to the end
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), "", err_text_};
  }

private:
  pid_t pid_ = -1;
  int err_ = -1;
  std::string err_text_;
};

// A scratch directory per test.
class VboardTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vboard-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string file(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  // The built image with `patch` applied to its bytes.
  template <typename Patch>
  std::string patched_image(const std::string& name, Patch patch) {
    std::string bytes = slurp(FIRMWARE_ELF);
    patch(bytes);
    return file(name, bytes);
  }
  // A whole run with `input` as stdin (a file) and stdout to a file.
  Finished run(const std::vector<std::string>& args, const std::string& input = "") {
    const int in = open(file("stdin", input).c_str(), O_RDONLY);
    const std::string out_path = (dir_ / "stdout").string();
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Finished f = Vboard(args, in, out).finish();
    close(in);
    close(out);
    f.out = slurp(out_path);
    return f;
  }

  fs::path dir_;
};

std::uint32_t le32(const std::string& b, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
void put_le32(std::string& b, std::size_t at, std::uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void put_le16(std::string& b, std::size_t at, std::uint16_t v) { std::memcpy(b.data() + at, &v, 2); }

// --- the command line -----------------------------------------------------------

TEST_F(VboardTest, ShouldRefuseBadCommandLinesWithOneLine) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{"--cpi", "4294967297"}, "--cpi: 4294967297 is out of range"},
      {{"--cpi", "1.5"}, "--cpi: '1.5' is not a whole decimal number"},
      {{"--cpi", "0x10"}, "'0x10' is not a whole decimal number"},
      {{"--cpi", "+5"}, "'+5' is not a whole decimal number"},
      {{"--cpi", "1e3"}, "'1e3' is not a whole decimal number"},
      {{"--cpi", " 5"}, "' 5' is not a whole decimal number"},
      {{"--cpi", "0"}, "--cpi: 0 is out of range"},
      {{"--ms", "0"}, "--ms: 0 is out of range"},
      {{"--ms", "2.5"}, "--ms: '2.5' is not a whole decimal number"},
      {{"--seed", "-1"}, "--seed: '-1' is not a whole decimal number"},
      {{"--seed", "18446744073709551616"}, "--seed: 18446744073709551616 is out of range"},
      {{"--rtc-chip", "maybe"}, "--rtc-chip: takes absent, present or stuck-low, not 'maybe'"},
      {{"--rtc", "2026-13-01T00:00:00"}, "--rtc: needs a time"},
      {{"--frobnicate"}, "unknown option --frobnicate"},
      {{"--cpi", "1\n2"}, "--cpi: '1\\x0a2' is not a whole decimal number"},
      {{"a.elf", "b.elf"}, "more than one image given ('a.elf' and 'b.elf')"},
      // One rule for every listener's bind address.
      {{"--usbip-bind", "127.0.0.1"}, "--usbip-bind needs --usbip"},
      {{"--gdb-bind", "::1"}, "--gdb-bind needs --gdb"},
      {{"--usbip", "--usbip-bind", "nonsense"}, "--usbip-bind: needs a numeric IPv4 or IPv6 address or localhost, not 'nonsense'"},
      {{"--gdb", "--gdb-bind", "nonsense"}, "--gdb-bind: needs a numeric IPv4 or IPv6 address or localhost, not 'nonsense'"},
      {{"--gdb-bind", "", "--gdb"}, "--gdb-bind: needs a numeric IPv4 or IPv6 address or localhost, not ''"},
      {{"--gdb-run"}, "--gdb-run needs --gdb"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    const Finished f = run(c.args);
    EXPECT_EQ(2, f.status);
    EXPECT_EQ("", f.out);
    EXPECT_EQ(1u, count(f.err, "\n")) << f.err;
    EXPECT_NE(std::string::npos, f.err.find(c.says)) << f.err;
    EXPECT_NE(std::string::npos, f.err.find("see vboard --help")) << f.err;
  }
}

TEST_F(VboardTest, ShouldTakeWholeNumbersUpToTheirLimits) {
  const Finished f =
      run({"--fast", "--ms", "7", "--cpi", "010", "--seed", "18446744073709551615", "--usart2", "none", FIRMWARE_ELF});
  EXPECT_EQ(0, f.status) << f.err;
  EXPECT_NE(std::string::npos, f.err.find("device time   7.000 ms")) << f.err;
}

// A TCP port free on the IPv6 loopback address just now.
int free_port() {
  const int fd = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  socklen_t len = sizeof a;
  EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin6_port);
}

TEST_F(VboardTest, EveryListenerShouldTakeTheSameBindAddresses) {
  struct Case {
    std::string listener, bind, address, says;
  };
  const Case cases[] = {
      // An IPv6 address in brackets, so that its port stands apart.
      {"--usbip", "--usbip-bind", "::1", "exported over USB/IP on [::1]:"},
      {"--usbip", "--usbip-bind", "localhost", "exported over USB/IP on 127.0.0.1:"},
      {"--gdb", "--gdb-bind", "::1", "GDB server on [::1]:"},
      {"--gdb", "--gdb-bind", "localhost", "GDB server on 127.0.0.1:"},
      {"--web", "--web-bind", "::1", "front panel on http://[::1]:"},
      {"--web", "--web-bind", "localhost", "front panel on http://127.0.0.1:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bind + " " + c.address);
    const std::string port = std::to_string(free_port());
    std::vector<std::string> args = {"--fast", "--ms", "5", c.listener, port, c.bind, c.address};
    if (c.listener == "--gdb") args.push_back("--gdb-run");
    const Finished f = run(args);
    EXPECT_EQ(0, f.status) << f.err;
    EXPECT_NE(std::string::npos, f.err.find(c.says + port)) << f.err;
  }
}

TEST_F(VboardTest, EveryListenerShouldSayInOneLineThatItsPortIsTaken) {
  const int busy = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(0, bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, listen(busy, 1));
  getsockname(busy, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string port = std::to_string(ntohs(a.sin_port));
  for (const std::string listener : {"--gdb", "--usbip", "--web"}) {
    SCOPED_TRACE(listener);
    // Nothing else said before it (no pseudo-terminal paths, no recording).
    const Finished f = run({"--fast", "--ms", "5", "--usart2", "pty", "--wav", (dir_ / "a.wav").string(), listener, port});
    EXPECT_EQ(2, f.status) << f.err;
    EXPECT_EQ(1u, count(f.err, "\n")) << f.err;
    EXPECT_NE(std::string::npos, f.err.find("cannot listen on 127.0.0.1")) << f.err;
    EXPECT_NE(std::string::npos, f.err.find("Address already in use")) << f.err;
  }
  close(busy);
}

TEST_F(VboardTest, HelpShouldSayHowToQuitAndWhatEachOptionTakes) {
  const Finished f = run({"--help"});
  EXPECT_EQ(0, f.status);
  for (const char* text : {"Ctrl-] q", "--ms N", "until stopped", "--seed N", "--cpi N", "143"})
    EXPECT_NE(std::string::npos, f.out.find(text)) << text;
}

// --- image files ------------------------------------------------------------------

TEST_F(VboardTest, ShouldRefuseWhatIsNoImageWithoutReadingIt) {
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));  // nobody ever writes to it
  const std::string big = file("big.elf", "");
  fs::resize_file(big, (64ull << 20) + 1);  // sparse: nothing is written
  struct Case {
    std::string path, says;
  };
  const Case cases[] = {
      {dir_.string(), ": not a regular file (a directory)"},
      {"/dev/zero", "/dev/zero: not a regular file (a character device)"},
      {fifo, ": not a regular file (a FIFO)"},
      {big, ": larger than 64 MiB"},
      {file("notes.txt", "hello\n"), "notes.txt: not an ELF file"},
      {file("empty.elf", ""), "empty.elf: not an ELF file"},
      {file("short.elf", "\x7f" "ELF\x01\x01"), "short.elf: truncated ELF file"},
      {(dir_ / "missing.elf").string(), "missing.elf: cannot open the firmware image (No such file or directory)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const Finished f = run({"--fast", "--ms", "1", c.path});
    EXPECT_EQ(2, f.status);
    EXPECT_EQ(1u, count(f.err, "\n")) << f.err;
    EXPECT_NE(std::string::npos, f.err.find(c.path)) << f.err;
    EXPECT_NE(std::string::npos, f.err.find(c.says)) << f.err;
  }
}

// --- the console on pipes and files ---------------------------------------------

TEST_F(VboardTest, PipedInputShouldReachTheConsole) {
  // Ctrl-A ? asks the firmware for its escape help and USART2's rate.
  const Finished f = run({"--fast", "--ms", "1000"}, "\x01?");
  EXPECT_EQ(0, f.status) << f.err;
  EXPECT_NE(std::string::npos, f.out.find("USART2=115200bps FIXED")) << f.out;
}

TEST_F(VboardTest, PipedInputShouldCrossTheBridgeExactlyAndTheBoardRunOnAfterIt) {
  // Over the bridge to USART2, looped back and out on the console: about a
  // quarter of a second of line time, then the board runs on to --ms.
  std::string text;
  for (int i = 0; i < 3000; ++i) text += static_cast<char>(i % 61 == 60 ? '\n' : ' ' + (i * 7) % 90);
  const Finished f = run({"--fast", "--ms", "1500", "--usart2", "loopback"}, text);
  EXPECT_EQ(0, f.status) << f.err;
  EXPECT_NE(std::string::npos, f.out.find(text));
  EXPECT_NE(std::string::npos, f.err.find("device time   1500.000 ms")) << f.err;
}

TEST_F(VboardTest, ShouldEndWithAMessageWhenStdoutCannotBeWritten) {
  // A full disk.
  const int in = open("/dev/null", O_RDONLY), full = open("/dev/full", O_WRONLY);
  const Finished disk = Vboard({"--fast", "--ms", "1000"}, in, full).finish();
  EXPECT_EQ(3, disk.status);
  EXPECT_NE(std::string::npos, disk.err.find("cannot write to stdout: No space left on device")) << disk.err;
  EXPECT_NE(std::string::npos, disk.err.find("device time")) << disk.err;

  // A reader that leaves after the first bytes.
  int out[2];
  ASSERT_EQ(0, pipe(out));
  Vboard v({"--fast", "--ms", "100000"}, in, out[1]);
  close(out[1]);
  char first[16];
  ASSERT_GT(read(out[0], first, sizeof first), 0);
  close(out[0]);
  const Finished gone = v.finish();
  EXPECT_EQ(3, gone.status);
  EXPECT_NE(std::string::npos, gone.err.find("cannot write to stdout: Broken pipe")) << gone.err;
  close(in);
  close(full);
}

// --- the console on a terminal ----------------------------------------------------

// A pseudo-terminal: the slave side is vboard's stdin and stdout.
struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    EXPECT_EQ(0, grantpt(master));
    EXPECT_EQ(0, unlockpt(master));
    slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave, 0);
  }
  ~Pty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
  void close_slave() {
    close(slave);
    slave = -1;
  }
  bool raw() const {
    termios t{};
    tcgetattr(master, &t);
    return !(t.c_lflag & (ICANON | ECHO));
  }
  // Reads what vboard shows until `text` appears; false when the terminal
  // closed first.
  bool read_until(const std::string& text) {
    while (shown.find(text) == std::string::npos) {
      char buf[1024];
      const ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) return false;
      shown.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }
  int master = -1, slave = -1;
  std::string shown;
};

TEST_F(VboardTest, ShouldEndWithStatisticsWhenTheTerminalCloses) {
  Pty pty;
  Vboard v({"--fast", "--ms", "100000", "--usart2", "none"}, pty.slave, pty.slave);
  pty.close_slave();
  ASSERT_TRUE(v.wait_for_err("console on this terminal"));
  close(pty.master);  // the window closes
  pty.master = -1;
  const Finished f = v.finish();
  EXPECT_EQ(3, f.status) << f.err;
  EXPECT_NE(std::string::npos, f.err.find("device time")) << f.err;
  EXPECT_NE(std::string::npos, f.err.find("console terminal")) << f.err;
}

TEST_F(VboardTest, TerminalShouldBeCookedWhileStoppedAndRawAgainAfter) {
  Pty pty;
  Vboard v({"--fast", "--ms", "100000", "--usart2", "none"}, pty.slave, pty.slave);
  pty.close_slave();
  ASSERT_TRUE(v.wait_for_err("console on this terminal"));
  ASSERT_TRUE(pty.raw());

  // Stopped by kill -TSTP, then by Ctrl-] z: the shell gets a cooked
  // terminal; continued: raw again, and a board command answers at once
  // (no Enter needed).
  for (const bool by_key : {false, true}) {
    SCOPED_TRACE(by_key ? "Ctrl-] z" : "SIGTSTP");
    if (by_key) {
      ASSERT_EQ(2, write(pty.master, "\x1dz", 2));
    } else {
      kill(v.pid(), SIGTSTP);
    }
    ASSERT_TRUE(v.wait_stopped());
    EXPECT_FALSE(pty.raw());
    kill(v.pid(), SIGCONT);
    while (!pty.raw() && kill(v.pid(), 0) == 0) sched_yield();
    pty.shown.clear();
    ASSERT_EQ(2, write(pty.master, "\x1d?", 2));
    EXPECT_TRUE(pty.read_until("[board commands"));
  }
  ASSERT_EQ(2, write(pty.master, "\x1dq", 2));
  const Finished f = v.finish();
  EXPECT_EQ(0, f.status) << f.err;
  EXPECT_FALSE(pty.raw());  // restored on the way out
}

TEST_F(VboardTest, SignalsShouldEndTheRunWithStatisticsAndTheTerminalRestored) {
  struct Case {
    int sig;
    bool terminal;  // else stdin and stdout are /dev/null
    int status;
  };
  const Case cases[] = {{SIGTERM, true, 143}, {SIGHUP, true, 129}, {SIGTERM, false, 143}, {SIGINT, false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.sig)) + (c.terminal ? " on a terminal" : ""));
    Pty pty;
    const int null = open("/dev/null", O_RDWR);
    const int io = c.terminal ? pty.slave : null;
    Vboard v({"--fast", "--ms", "100000", "--usart2", "pty"}, io, io);
    pty.close_slave();
    close(null);
    ASSERT_TRUE(v.wait_for_err("USART2 on"));  // running, handlers in place
    kill(v.pid(), c.sig);
    const Finished f = v.finish();
    EXPECT_EQ(c.status, f.status) << f.err;
    EXPECT_NE(std::string::npos, f.err.find("device time")) << f.err;
    EXPECT_FALSE(pty.raw());
  }
}

// --- degradations said once ---------------------------------------------------------

TEST_F(VboardTest, ShouldSayOnceThatAnImageWithoutSymbolsRunsSlower) {
  // No section headers: no symbol table.
  const std::string stripped = patched_image("stripped.elf", [](std::string& b) {
    put_le32(b, 0x20, 0);      // e_shoff
    put_le16(b, 0x2E, 0);      // e_shentsize
    put_le16(b, 0x30, 0);      // e_shnum
    put_le16(b, 0x32, 0);      // e_shstrndx
  });
  // Symbols, but the main loop's head renamed.
  const std::string no_loop = patched_image("no-loop.elf", [](std::string& b) {
    const std::string name("\0fast_loop\0", 11);
    for (auto at = b.find(name); at != std::string::npos; at = b.find(name, at + 1)) b[at + 9] = 'd';
  });
  struct Case {
    std::string image, says, not_said;
  };
  const Case cases[] = {
      {stripped, "the image has no symbol table:", "fast_loop"},
      {no_loop, "the image has no symbol fast_loop (the main loop's head):", "no symbol table"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    const Finished f = run({"--fast", "--ms", "20", c.image});
    EXPECT_EQ(0, f.status) << f.err;
    EXPECT_EQ(1u, count(f.err, "not fast-forwarded")) << f.err;
    EXPECT_NE(std::string::npos, f.err.find(c.says)) << f.err;
    EXPECT_EQ(std::string::npos, f.err.find(c.not_said)) << f.err;
  }
}

TEST_F(VboardTest, FaultAtResetShouldReportTheDeviceTimeItHappenedAt) {
  // The reset vector (second word of the vector table, at the start of the
  // first program segment) points where nothing executes.
  const std::string bad = patched_image("bad-reset.elf", [](std::string& b) {
    const std::uint32_t phoff = le32(b, 0x1C);
    const std::uint32_t offset = le32(b, phoff + 4);  // p_offset of the first segment
    put_le32(b, offset + 4, 0x60000001);
  });
  const Finished f = run({"--fast", "--ms", "100", bad});
  EXPECT_EQ(1, f.status) << f.err;
  EXPECT_NE(std::string::npos, f.err.find("device time   0.000 ms")) << f.err;
}

// --- job control through a shell --------------------------------------------------

// An interactive shell with job control whose controlling terminal is a
// pseudo-terminal, as in a terminal window. Commands are typed into it and
// what it shows is read back; every wait is bounded.
class Shell {
public:
  Shell() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(0, grantpt(master_));
    EXPECT_EQ(0, unlockpt(master_));
    const std::string path = ptsname(master_);
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      const int tty = open(path.c_str(), O_RDWR);  // the session's controlling terminal
      ioctl(tty, TIOCSCTTY, 0);
      dup2(tty, STDIN_FILENO);
      dup2(tty, STDOUT_FILENO);
      dup2(tty, STDERR_FILENO);
      for (int fd = 3; fd < 256; ++fd) close(fd);
      alarm(180);
      setenv("PS1", "shell$ ", 1);
      execl("/bin/bash", "bash", "--norc", "--noprofile", "-i", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;
  ~Shell() {
    // The window closes: the shell and its jobs get SIGHUP.
    close(master_);
    for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) usleep(50'000);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  void type(const std::string& keys) { ASSERT_EQ(static_cast<ssize_t>(keys.size()), write(master_, keys.data(), keys.size())); }
  // Reads what the terminal shows until `pattern` matches what came since
  // the last match; false when 60 s pass first. `match` stays valid until
  // the next call.
  bool read_until(const std::string& pattern, std::smatch* match = nullptr) {
    const std::regex re(pattern);
    for (;;) {
      std::smatch m;
      matched_ = shown_;
      if (std::regex_search(matched_, m, re)) {
        if (match) *match = m;
        shown_ = m.suffix();
        return true;
      }
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 60'000) <= 0) return false;
      char buf[1024];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) return false;
      shown_.append(buf, static_cast<std::size_t>(n));
      all_.append(buf, static_cast<std::size_t>(n));
    }
  }
  // The terminal is in raw mode (bounded wait for it).
  bool wait_raw() {
    for (int i = 0; i < 600; ++i) {
      termios t{};
      tcgetattr(master_, &t);
      if (!(t.c_lflag & ICANON)) return true;
      usleep(50'000);
    }
    return false;
  }
  const std::string& all() const { return all_; }

private:
  int master_ = -1;
  pid_t pid_ = -1;
  std::string shown_, all_;
  std::string matched_;  // what the last match points into
};

const std::string kVboardCommand =
    std::string(VBOARD) + " --fast --ms 1000000 --usart2 none --usb-unplugged " + FIRMWARE_ELF;

TEST(VboardJobControl, SuspendKeyShouldStopTheWholeForegroundJobAndFgResumeIt) {
  // vboard under a parent in the same job, as under `make run`.
  Shell sh;
  sh.type("sh -c '" + kVboardCommand + "; echo vboard ended: $?'\n");
  ASSERT_TRUE(sh.read_until("console on this terminal")) << sh.all();
  ASSERT_TRUE(sh.wait_raw());
  sh.type("\x1dz");
  ASSERT_TRUE(sh.read_until(R"(Stopped\s+sh -c)")) << sh.all();
  ASSERT_TRUE(sh.read_until(R"(shell\$ $)")) << sh.all();
  sh.type("fg\n");
  ASSERT_TRUE(sh.wait_raw());
  sh.type("\x1d?");
  ASSERT_TRUE(sh.read_until(R"(\[board commands)")) << sh.all();
  sh.type("\x1dq");
  EXPECT_TRUE(sh.read_until("vboard ended: 0")) << sh.all();
}

TEST(VboardJobControl, SuspendedRunContinuedInTheBackgroundShouldRunToItsEnd) {
  Shell sh;
  sh.type(std::string(VBOARD) + " --fast --ms 5000 --usart2 none --usb-unplugged " + FIRMWARE_ELF + "\n");
  ASSERT_TRUE(sh.read_until("console on this terminal")) << sh.all();
  ASSERT_TRUE(sh.wait_raw());
  sh.type("\x1dz");
  ASSERT_TRUE(sh.read_until(R"(Stopped\s+/)")) << sh.all();
  // In the background it leaves the terminal's keys alone: a line typed
  // while the foreground command does not read stays for the shell (a
  // read would stop vboard with SIGTTIN).
  sh.type("bg; sleep 1; wait; echo all waited for\n");
  ASSERT_TRUE(sh.read_until(R"(\[1\]\+ [^\n]*&)")) << sh.all();
  sh.type("\n");
  ASSERT_TRUE(sh.read_until(R"(all waited for[\s\S]*shell\$ $)")) << sh.all();
  // The shell's notice of the job's end, before or after the echo: exit status 0.
  EXPECT_TRUE(std::regex_search(sh.all(), std::regex(R"(\[1\]\+\s+Done\s)"))) << sh.all();
}

TEST(VboardJobControl, BoardLinesShouldKeepToLinesOfTheirOwnBetweenConsoleLines) {
  // The trace and board messages on stderr, the console on stdout, both the
  // shell's terminal: the start-up report is interrupted by beeper and LED
  // lines while its lines are unfinished.
  Shell sh;
  sh.type(std::string(VBOARD) + " --fast --ms 1500 --trace --usart2 none --usb-unplugged " + FIRMWARE_ELF +
          "; echo vboard ended: $?\n");
  ASSERT_TRUE(sh.read_until("vboard ended: 0")) << sh.all();
  const std::string& t = sh.all();
  const std::size_t first = t.find("[panel]");
  ASSERT_NE(std::string::npos, first) << t;
  // Every board line starts a line of its own...
  EXPECT_FALSE(std::regex_search(t, std::regex(R"([^\r\n]\[(panel|board)\])"))) << t;
  // ...and the console line it interrupted is shown again whole after it.
  EXPECT_TRUE(std::regex_search(t, std::regex(R"(\nUSB\(OTG_FS\) CDC-VCOM Port shell console start\.\r)"))) << t;
  // The trace shows changes: the beeper is silent at power-up, so its first
  // line is a tone.
  EXPECT_TRUE(std::regex_search(t.substr(first), std::regex(R"(^[^\n]*beeper \d+ Hz)"))) << t;
  EXPECT_EQ(std::string::npos, t.find("[panel] 0.0 ms beeper off")) << t;
}

TEST(VboardJobControl, PageLinesRecordingAndCommandAnswersShouldKeepToLinesOfTheirOwn) {
  // A page coming and going, a board command's answer and the recording's
  // last line, while the console's line is unfinished (bytes from USART2
  // across the bridge).
  char dir[] = "/tmp/vboard-lines-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string wav = std::string(dir) + "/run.wav";
  Shell sh;
  sh.type(std::string(VBOARD) + " --fast --ms 1000000 --usart2 pty --usb-unplugged --web 0 --wav " + wav + " " +
          FIRMWARE_ELF + "; echo vboard ended: $?\n");
  std::smatch m;
  ASSERT_TRUE(sh.read_until(R"(USART2 on (/dev/pts/\d+))", &m)) << sh.all();
  const std::string usart2 = m[1];
  ASSERT_TRUE(sh.read_until(R"(front panel on http://127\.0\.0\.1:(\d+)/)", &m)) << sh.all();
  const int port = std::stoi(m[1]);
  ASSERT_TRUE(sh.read_until(R"(setup done\.)")) << sh.all();
  const int line = open(usart2.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(line, 0);
  ASSERT_EQ(3, write(line, "abc", 3));
  ASSERT_TRUE(sh.read_until("abc")) << sh.all();
  sh.type("\x1d?");  // a board command's answer follows the same rule
  ASSERT_TRUE(sh.read_until(R"(send Ctrl-\] to the console)")) << sh.all();

  const int page = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, connect(page, reinterpret_cast<sockaddr*>(&a), sizeof a));
  const std::string upgrade =
      "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  ASSERT_EQ(static_cast<ssize_t>(upgrade.size()), write(page, upgrade.data(), upgrade.size()));
  ASSERT_TRUE(sh.read_until(R"(page 1 connected)")) << sh.all();
  close(page);
  ASSERT_TRUE(sh.read_until(R"(page 1 left)")) << sh.all();
  sh.type("\x1dq");
  ASSERT_TRUE(sh.read_until("vboard ended: 0")) << sh.all();
  close(line);
  fs::remove_all(dir);

  // From the console's start-up report on: each line at the left margin
  // of a line of its own (not written over the console's line)...
  const std::string t = sh.all().substr(sh.all().find("setup done."));
  EXPECT_FALSE(std::regex_search(t, std::regex(R"([^\n]\[(web|board)\])"))) << t;
  // ...and the unfinished line shown again after the page's lines.
  EXPECT_TRUE(std::regex_search(t, std::regex(R"(\[web\] page 1 connected from [^\r\n]*\r+\n(\[web\][^\r\n]*\r+\n)?abc)")))
      << t;
  EXPECT_TRUE(std::regex_search(t, std::regex(R"(abc\r+\n\[board commands[\s\S]*send Ctrl-\] to the console\r+\nabc)")))
      << t;
  EXPECT_NE(std::string::npos, t.find("[board] audio output recorded into " + wav)) << t;
}

TEST(VboardJobControl, BackgroundRunShouldLeaveTheTerminalAloneAndPutTheConsoleOnAPty) {
  Shell sh;
  sh.type(kVboardCommand + " &\n");
  std::smatch path;
  ASSERT_TRUE(sh.read_until(R"(not on this terminal: USART3 on (/dev/pts/\d+))", &path)) << sh.all();
  // The console's start-up report on that path.
  const int port = open(path[1].str().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(port, 0);
  std::string report;
  while (report.find("RTC=") == std::string::npos) {
    pollfd p{port, POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 60'000), 0) << report;
    char buf[256];
    const ssize_t n = read(port, buf, sizeof buf);
    ASSERT_GT(n, 0);
    report.append(buf, static_cast<std::size_t>(n));
  }
  close(port);
  // Running, not stopped for reading the terminal; the shell has it.
  sh.type("jobs\n");
  EXPECT_TRUE(sh.read_until(R"(\[1\]\+\s+Running)")) << sh.all();
  sh.type("kill %1; wait %1; echo vboard ended: $?\n");
  EXPECT_TRUE(sh.read_until("vboard ended: 143")) << sh.all();
}

}  // namespace
