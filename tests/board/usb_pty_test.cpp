// vboard's USB pseudo-terminal: a program on the pty reaches the firmware's
// receive ring, and what the firmware queues comes out of the pty.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/cli/usb_link.hpp"
#include "tests/board/usb_fixture.hpp"

namespace vb::test {
namespace {

class UsbPtyLink : public UsbBoardTest {
protected:
  void TearDown() override {
    if (fd_ >= 0) ::close(fd_);
    pty_.reset();
    UsbBoardTest::TearDown();
  }
  // The pty as a terminal program opens it (raw, non-blocking).
  void open_pty() {
    pty_ = std::make_unique<cli::UsbPty>(host());
    fd_ = ::open(pty_->path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd_, 0);
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  // Runs the board in 1 ms steps with the link polled between, as vboard does.
  void run_polled(double ms, const std::function<bool()>& done) {
    for (double t = 0; t < ms && !done(); t += 1) {
      pty_->poll(board());
      run_until([] { return false; }, 1);
    }
  }
  std::string read_pty() {
    std::string s;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fd_, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
    return s;
  }

  std::unique_ptr<cli::UsbPty> pty_;
  int fd_ = -1;
};

TEST_F(UsbPtyLink, ShouldCarryBytesBothWaysInOrder) {
  bypass_shell();
  boot_enumerated();
  open_pty();
  std::string typed;
  for (int i = 0; i < 600; ++i) typed += static_cast<char>(i * 13);
  ASSERT_EQ(static_cast<ssize_t>(typed.size()), ::write(fd_, typed.data(), typed.size()));
  // The firmware reads slowly; nothing typed is lost on the way.
  std::string got;
  run_polled(500, [&] {
    for (int k = 0; k < 8; ++k) {
      const std::int16_t c = usb_getc();
      if (c < 0) break;
      got += static_cast<char>(c);
    }
    return got.size() == typed.size();
  });
  EXPECT_EQ(typed, got);

  const std::string reply = "reply\r\n\xFF";
  for (char c : reply) ASSERT_EQ(0, usb_putc(static_cast<std::uint8_t>(c)));
  std::string out;
  run_polled(50, [&] {
    out += read_pty();
    return out.size() >= reply.size();
  });
  EXPECT_EQ(reply, out);
}

TEST_F(UsbPtyLink, ShouldOpenAndCloseThePortWithTheProgramOnThePty) {
  boot_enumerated();
  pty_ = std::make_unique<cli::UsbPty>(host());
  run_polled(5, [] { return false; });
  EXPECT_FALSE(host().port_open()) << "nobody on the pty yet";
  auto line_states = [&] {
    std::vector<std::uint16_t> v;
    for (const auto& t : host().transfers())
      if (t.kind == UsbTransfer::Kind::kControl && t.setup[1] == 0x22 && t.status == Status::kOk)
        v.push_back(static_cast<std::uint16_t>(t.setup[2] | t.setup[3] << 8));
    return v;
  };
  host().clear_logs();
  fd_ = ::open(pty_->path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd_, 0);
  run_polled(10, [] { return false; });
  EXPECT_TRUE(host().port_open());
  ::close(fd_);
  fd_ = -1;
  run_polled(10, [] { return false; });
  EXPECT_FALSE(host().port_open());
  EXPECT_EQ((std::vector<std::uint16_t>{3, 0}), line_states());
}

TEST_F(UsbPtyLink, ShouldPlugAndUnplugTheCableOnCommand) {
  ASSERT_TRUE(boot());
  EXPECT_EQ("USB cable plugged in", cli::toggle_usb_cable(host()));
  ASSERT_TRUE(run_until([&] { return host().state() == UsbHost::State::kConfigured; }, 1000));
  EXPECT_EQ("USB cable unplugged", cli::toggle_usb_cable(host()));
  EXPECT_EQ(UsbHost::State::kUnplugged, host().state());
  run_until([] { return false; }, 5);
  EXPECT_FALSE(board().otg_fs().vbus());
}

}  // namespace
}  // namespace vb::test
