// The board's USB device exported over USB/IP on the loopback interface: a
// client on plain sockets lists and imports it, enumerates and opens it the
// way a Linux host with cdc_acm does, moves data both ways through pending
// URBs, unlinks them, and misbehaves in ways that must close only its own
// connection while the board runs on.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <regex>
#include <string>

#include "sim/usbhost/usbip_server.hpp"
#include "tests/board/usb_fixture.hpp"
#include "tests/support/usbip_client.hpp"

namespace vb::test {
namespace {

using Ret = UsbIpClient::Ret;
using S = std::array<std::uint8_t, 8>;
constexpr std::int32_t kEPipe = -32, kEProto = -71, kEConnReset = -104;
constexpr std::uint32_t kBulkIn = 1, kNotify = 2, kBulkOut = 1;

// What the shell answers a line that is not a time setting: the line's echo,
// the help and the time (the formatter ends a line with CR CR LF).
const std::string kEnd = "\r\r\n";
std::string help_reply(const std::string& line) {
  return line + kEnd + kEnd + "MMDDhhmm[.ss] date-time" + kEnd + "?             help message" + kEnd +
         "Now RTC_time=<time>On chip RTC's ClockSource is LSE" + kEnd;
}
std::string without_times(const std::string& s) {
  static const std::regex kTimeLine("\\d{4}-\\d{1,2}-\\d{1,2}\t[ \\d]\\d:\\d\\d:\\d\\d\r\r\n");
  return std::regex_replace(s, kTimeLine, "<time>");
}

class UsbIp : public UsbBoardTest {
protected:
  void start() {
    host().set_auto_enumerate(false);
    host().plug();
    server = std::make_unique<UsbIpServer>(m(), host(), board().otg_fs(), UsbIpOptions{"127.0.0.1", 0});
    server->set_message_sink([this](const std::string& s) { log += s + "\n"; });
    ASSERT_TRUE(boot());
  }
  void TearDown() override {
    server.reset();
    UsbBoardTest::TearDown();
  }
  // Runs the board, serving the sockets, until pred() holds.
  bool serve_until(const std::function<bool()>& pred, double ms) {
    return run_until(
        [&] {
          server->poll();
          for (auto* c : clients) c->pump();
          return pred();
        },
        ms);
  }
  std::unique_ptr<UsbIpClient> connect() {
    auto c = std::make_unique<UsbIpClient>(server->port());
    clients.push_back(c.get());
    return c;
  }
  void forget(UsbIpClient* c) { std::erase(clients, c); }
  // The reply to URB `seq`, with replies to others kept for later.
  Ret wait_ret(UsbIpClient& c, std::uint32_t seq, double ms = 200) {
    Ret out;
    const bool got = serve_until(
        [&] {
          while (auto r = c.next_ret()) stash[r->seqnum] = *r;
          if (auto it = stash.find(seq); it != stash.end()) {
            out = it->second;
            stash.erase(it);
            return true;
          }
          return false;
        },
        ms);
    EXPECT_TRUE(got) << "no reply to URB " << seq << "\n" << log;
    return out;
  }
  Ret ctl(UsbIpClient& c, S s, const Bytes& out = {}) { return wait_ret(c, c.control(s, out)); }
  // OP_REQ_IMPORT of `busid`; the reply's status.
  std::uint32_t import(UsbIpClient& c, const std::string& busid = "1-1") {
    c.send(UsbIpClient::op(0x8003, busid));
    serve_until([&] { return c.received().size() >= 8 + 312 || (c.closed_by_server() && c.received().size() >= 8); },
                3000);
    EXPECT_GE(c.received().size(), 8u) << log;
    if (c.received().size() < 8) return 0xFFFFFFFF;
    EXPECT_EQ(0x0111u, c.be32(0) >> 16);
    EXPECT_EQ(0x0003u, c.be32(0) & 0xFFFF);
    const std::uint32_t status = c.be32(4);
    if (status == 0 && c.received().size() >= 320) {
      c.devid = c.be32(8 + 288) << 16 | c.be32(8 + 292);  // busnum, devnum
      c.received().erase(c.received().begin(), c.received().begin() + 320);
    }
    return status;
  }
  // What a Linux 6.x host sends after the import, up to SET_LINE_CODING.
  void enumerate(UsbIpClient& c) {
    // The first read only needs bMaxPacketSize0: at least 8 bytes.
    Ret r = ctl(c, UsbIpClient::setup(0x80, 6, 0x0100, 0, 64));
    ASSERT_EQ(0, r.status);
    ASSERT_GE(r.data.size(), 8u);
    EXPECT_EQ(static_cast<std::int32_t>(r.data.size()), r.actual_length);
    const Bytes first = r.data;
    r = ctl(c, UsbIpClient::setup(0x80, 6, 0x0100, 0, 18));
    ASSERT_EQ(18u, r.data.size());
    device_desc = r.data;
    EXPECT_EQ(first, Bytes(device_desc.begin(), device_desc.begin() + static_cast<std::ptrdiff_t>(first.size())));
    for (int i = 0; i < 3; ++i) {
      const std::int32_t st = ctl(c, UsbIpClient::setup(0x80, 6, 0x0600, 0, 10)).status;
      EXPECT_TRUE(st == 0 || st == kEPipe) << st;  // a full-speed-only device may stall it
    }
    r = ctl(c, UsbIpClient::setup(0x80, 6, 0x0200, 0, 9));
    ASSERT_EQ(9u, r.data.size());
    const std::uint16_t total = static_cast<std::uint16_t>(r.data[2] | r.data[3] << 8);
    r = ctl(c, UsbIpClient::setup(0x80, 6, 0x0200, 0, total));
    ASSERT_EQ(total, r.data.size());
    config_desc = r.data;
    for (std::uint8_t idx : {0, 2, 1, 3}) {
      r = ctl(c, UsbIpClient::setup(0x80, 6, static_cast<std::uint16_t>(0x0300 | idx), idx ? 0x0409 : 0, 255));
      EXPECT_EQ(0, r.status) << "string " << int(idx);
      EXPECT_EQ(3, r.data.empty() ? 0 : r.data[1]) << "string " << int(idx);
    }
    EXPECT_EQ(0, ctl(c, UsbIpClient::setup(0x00, 9, 1, 0, 0)).status);
    EXPECT_EQ(0, ctl(c, UsbIpClient::setup(0x21, 0x20, 0, 0, 7), {0x00, 0xC2, 0x01, 0, 0, 0, 8}).status);
  }
  // Opening the tty: 16 reads of 128 bytes and the notification read stay
  // pending; DTR and RTS on.
  void open(UsbIpClient& c) {
    for (int i = 0; i < 16; ++i) reads.push_back(c.urb(1, kBulkIn, 128));
    notify = c.urb(1, kNotify, 16, {}, {}, 255);
    EXPECT_EQ(0, ctl(c, UsbIpClient::setup(0x21, 0x22, 3, 0, 0)).status);
  }
  // Everything the pending reads returned, in completion order; each
  // finished read is submitted again, as cdc_acm does.
  std::string take_reads(UsbIpClient& c) {
    std::string s;
    while (auto r = c.next_ret()) stash[r->seqnum] = *r;
    for (bool more = true; more;) {
      more = false;
      for (auto it = reads.begin(); it != reads.end(); ++it)
        if (auto f = stash.find(*it); f != stash.end()) {
          EXPECT_EQ(0, f->second.status);
          order.push_back(f->first);
          s.append(f->second.data.begin(), f->second.data.end());
          stash.erase(f);
          reads.erase(it);
          reads.push_back(c.urb(1, kBulkIn, 128));
          more = true;
          break;
        }
    }
    return s;
  }
  std::unique_ptr<UsbIpServer> server;
  std::vector<UsbIpClient*> clients;
  std::map<std::uint32_t, Ret> stash;
  std::string log;
  Bytes device_desc, config_desc;
  std::vector<std::uint32_t> reads, order;
  std::uint32_t notify = 0;
};

TEST_F(UsbIp, ShouldListTheDeviceAsOneDashOneThenImportIt) {
  start();
  auto lister = connect();
  lister->send(UsbIpClient::op(0x8005));
  ASSERT_TRUE(serve_until([&] { return lister->closed_by_server(); }, 1000)) << log;
  const Bytes& r = lister->received();
  ASSERT_EQ(8u + 4 + 312 + 2 * 4, r.size()) << "one device with its two interfaces";
  EXPECT_EQ(0x01110005u, lister->be32(0));
  EXPECT_EQ(0u, lister->be32(4));
  EXPECT_EQ(1u, lister->be32(8));
  EXPECT_EQ("1-1", std::string(reinterpret_cast<const char*>(&r[12 + 256])));
  EXPECT_EQ(1u, lister->be32(12 + 288)) << "bus number";
  const std::uint32_t listed_devnum = lister->be32(12 + 292);
  EXPECT_EQ(2u, lister->be32(12 + 296)) << "full speed";
  // Interfaces: communications (ACM, AT commands), then data.
  EXPECT_EQ((Bytes{0x02, 0x02, 0x01, 0, 0x0A, 0x00, 0x00, 0}), Bytes(r.end() - 8, r.end()));

  auto c = connect();
  ASSERT_EQ(0u, import(*c));
  EXPECT_EQ(1u, c->devid >> 16);
  EXPECT_EQ(host().address(), c->devid & 0xFFFF) << "the import gave the device its address";
  EXPECT_NE(0u, c->devid & 0xFFFF);
  EXPECT_EQ(listed_devnum, c->devid & 0xFFFF) << "the list and the import name the same device number";
  ASSERT_NO_FATAL_FAILURE(enumerate(*c));
  // The list's numbers are the device descriptor's.
  EXPECT_EQ((std::uint32_t(device_desc[9]) << 24 | std::uint32_t(device_desc[8]) << 16 |
             std::uint32_t(device_desc[11]) << 8 | device_desc[10]),
            lister->be32(12 + 300));
  EXPECT_EQ(1u, var8("USB_OTG_dev", kDeviceStatus) == 3 ? 1u : 0u) << "configured";
}

TEST_F(UsbIp, ShouldCarryAWriteAndItsEchoThroughPendingUrbsAndUnlinkThemOnClose) {
  start();
  auto c = connect();
  ASSERT_EQ(0u, import(*c));
  ASSERT_NO_FATAL_FAILURE(enumerate(*c));
  open(*c);
  // A write is one bulk OUT URB of the whole length.
  const Ret w = wait_ret(*c, c->urb(0, kBulkOut, 2, {}, {'?', '\r'}));
  EXPECT_EQ(0, w.status);
  EXPECT_EQ(2, w.actual_length);
  EXPECT_TRUE(w.data.empty());
  // The echo and the help come back through the pending reads (more than
  // one read's worth), in order; each read is submitted again.
  std::string got;
  const std::string want = help_reply("?");
  ASSERT_TRUE(serve_until([&] { got += take_reads(*c); return without_times(got) == want; }, 200))
      << without_times(got);
  EXPECT_GE(order.size(), 2u);
  EXPECT_EQ(16u, reads.size());

  // An endpoint the device does not have is answered, not fatal.
  EXPECT_EQ(kEProto, wait_ret(*c, c->urb(1, 3, 64)).status);
  // Close: DTR off, every pending read unlinked. An unlink of a URB that
  // already finished answers 0.
  EXPECT_EQ(0, ctl(*c, UsbIpClient::setup(0x21, 0x22, 0, 0, 0)).status);
  reads.push_back(notify);
  for (std::uint32_t victim : reads) {
    const std::uint32_t u = c->send_unlink(victim);
    const Ret r = wait_ret(*c, u);
    EXPECT_EQ(4u, r.command);
    EXPECT_EQ(kEConnReset, r.status) << "URB " << victim << " was pending";
  }
  const Ret again = wait_ret(*c, c->send_unlink(order.front()));
  EXPECT_EQ(0, again.status);
  serve_until([] { return false; }, 5);
  EXPECT_TRUE(c->next_ret() == std::nullopt) << "no RET_SUBMIT for an unlinked URB";
  EXPECT_TRUE(server->attached());
}

// SET_INTERFACE restarts the data toggles of that interface's endpoints
// only, in the device and in the host controller alike: after choosing
// setting 0 of either interface, with both bulk toggles at DATA1 from a
// first exchange, every line typed still gets its whole answer.
TEST_F(UsbIp, ShouldKeepTheTogglesInStepAcrossSetInterface) {
  start();
  auto c = connect();
  ASSERT_EQ(0u, import(*c));
  ASSERT_NO_FATAL_FAILURE(enumerate(*c));
  open(*c);
  auto exchange = [&] {
    ASSERT_EQ(0, wait_ret(*c, c->urb(0, kBulkOut, 2, {}, {'?', '\r'})).status);
    std::string got;
    const std::string want = help_reply("?");
    EXPECT_TRUE(serve_until([&] { got += take_reads(*c); return without_times(got) == want; }, 200))
        << without_times(got);
  };
  ASSERT_NO_FATAL_FAILURE(exchange());
  for (std::uint16_t interface : {0, 1, 0}) {
    SCOPED_TRACE("interface " + std::to_string(interface));
    ASSERT_EQ(0, ctl(*c, UsbIpClient::setup(0x01, 11, 0, interface, 0)).status);
    ASSERT_NO_FATAL_FAILURE(exchange());
  }
}

// Faults of one client close its connection with a logged reason; the
// device is detached and can be imported again, and the board runs on.
TEST_F(UsbIp, ShouldCloseOnlyTheMisbehavingConnection) {
  struct Case {
    const char* what;
    bool imported;
    Bytes bytes;
    const char* reason;
  };
  Bytes oversize = UsbIpClient::submit(1, 0x10001, 0, 1, 2u << 20);
  Bytes bad_ep = UsbIpClient::submit(1, 0x10001, 1, 16, 64);
  Bytes unknown = UsbIpClient::submit(1, 0x10001, 1, 1, 64);
  unknown[3] = 7;
  Bytes truncated = UsbIpClient::submit(1, 0x10001, 1, 1, 64);
  truncated.resize(30);
  Bytes mid_write = UsbIpClient::submit(1, 0x10001, 0, 1, 100, {}, Bytes(40, 'x'));
  Bytes bad_op = UsbIpClient::op(0x8009);
  const Case cases[] = {
      {"unknown command", true, unknown, "unknown command"},
      {"oversized transfer length", true, oversize, "more than"},
      {"endpoint number out of range", true, bad_ep, "endpoint 16"},
      {"truncated header, then the socket closes", true, truncated, "middle of a request"},
      {"socket closes in the middle of a write's data", true, mid_write, "middle of a request"},
      {"unknown request code", false, bad_op, "unknown request code"},
  };
  start();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    log.clear();
    auto c = connect();
    if (k.imported) {
      ASSERT_EQ(0u, import(*c)) << log;
    }
    c->send(k.bytes);
    if (std::string(k.reason) == "middle of a request") c->close();
    ASSERT_TRUE(serve_until([&] { return server->connections() == 0; }, 200)) << log;
    EXPECT_NE(std::string::npos, log.find(k.reason)) << log;
    EXPECT_FALSE(server->attached());
    forget(c.get());
  }
  // The board still runs, and the device can be imported and used.
  EXPECT_FALSE(m().faulted());
  auto c = connect();
  ASSERT_EQ(0u, import(*c)) << log;
  ASSERT_NO_FATAL_FAILURE(enumerate(*c));
}

TEST_F(UsbIp, ShouldRefuseASecondImportAndDetachWhenTheHolderLeaves) {
  start();
  auto first = connect();
  ASSERT_EQ(0u, import(*first));
  ASSERT_NO_FATAL_FAILURE(enumerate(*first));
  ASSERT_EQ(1u, var8("USB_OTG_dev", kConnectionStatus));
  for (const char* busid : {"1-1", "2-1"}) {
    SCOPED_TRACE(busid);
    auto second = connect();
    EXPECT_NE(0u, import(*second, busid));
    EXPECT_TRUE(serve_until([&] { return second->closed_by_server(); }, 50));
    forget(second.get());
  }
  EXPECT_EQ(0, ctl(*first, UsbIpClient::setup(0x80, 6, 0x0100, 0, 18)).status) << "the holder is undisturbed";
  first->close();
  forget(first.get());
  ASSERT_TRUE(serve_until([&] { return !server->attached(); }, 50));
  EXPECT_TRUE(serve_until([&] { return var8("USB_OTG_dev", kConnectionStatus) == 0; }, 50))
      << "the firmware sees the device disconnected";
  auto third = connect();
  ASSERT_EQ(0u, import(*third)) << log;
  ASSERT_NO_FATAL_FAILURE(enumerate(*third));
}

// 16 KiB typed as a terminal pastes it (lines under 40 characters, each
// ending in CR, written in 1 KiB URBs) come back as exactly the echo and
// replies a terminal would show: nothing lost, nothing reordered.
TEST_F(UsbIp, ShouldEchoAndAnswerSixteenKilobytesTypedInLines) {
  start();
  auto c = connect();
  ASSERT_EQ(0u, import(*c));
  ASSERT_NO_FATAL_FAILURE(enumerate(*c));
  open(*c);
  std::string typed, want;
  std::size_t lines = 0;
  for (unsigned n = 0; typed.size() < 16 * 1024; ++n, ++lines) {
    unsigned len = 1 + (n * 7) % 39;
    if (len == 8 || len == 11) ++len;  // those lengths would set the time
    std::string line;
    for (unsigned i = 0; i < len; ++i) line += static_cast<char>('a' + (n + i) % 26);
    typed += line + "\r";
    want += help_reply(line);
  }
  std::string got;
  std::size_t sent = 0, seen = 0, replies = 0;
  std::uint32_t writing = 0;
  const bool done = serve_until(
      [&] {
        if (writing && stash.count(writing)) {
          EXPECT_EQ(0, stash[writing].status);
          stash.erase(writing);
          writing = 0;
        }
        if (!writing && sent < typed.size()) {
          const std::size_t n = std::min<std::size_t>(1024, typed.size() - sent);
          writing = c->urb(0, kBulkOut, static_cast<std::uint32_t>(n), {},
                           Bytes(typed.begin() + static_cast<std::ptrdiff_t>(sent),
                                 typed.begin() + static_cast<std::ptrdiff_t>(sent + n)));
          sent += n;
        }
        got += take_reads(*c);
        for (std::size_t at; (at = got.find("LSE\r\r\n", seen)) != std::string::npos; seen = at + 1) ++replies;
        return replies == lines;
      },
      10000);
  EXPECT_TRUE(done) << replies << " of " << lines << " replies";
  const std::string shown = without_times(got);
  const auto diff = std::mismatch(want.begin(), want.end(), shown.begin(), shown.end());
  EXPECT_TRUE(shown == want) << "first difference at byte " << (diff.first - want.begin()) << " of " << want.size();
}

}  // namespace
}  // namespace vb::test
