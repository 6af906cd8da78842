// The board of the USB/IP benchmarks: the image with the cable plugged in,
// its USB device exported on 127.0.0.1 (any free port) for a client that
// enumerates it itself, booted to the main loop.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "sim/board/board.hpp"
#include "sim/usbhost/usb_host.hpp"
#include "sim/usbhost/usbip_server.hpp"
#include "tests/support/usbip_client.hpp"

struct UsbIpBoard {
  explicit UsbIpBoard(const std::string& elf) : board(options(elf)), m(board.m()), server(exported(board)) {}

  // False (and said) when the image does not reach its main loop.
  bool boot() {
    if (board.boot()) return true;
    std::printf("  boot did not reach the main loop\n");
    return false;
  }

  using Client = vb::test::UsbIpClient;
  using Replies = std::map<std::uint32_t, Client::Ret>;

  // One millisecond of the board, then the server and the client; URB
  // replies land in `rets` when given (once the device is imported). False
  // when the firmware faulted.
  bool step(Client& c, Replies* rets) {
    if (m.run_ms(1) == vb::Stop::kFault) return false;
    server.poll();
    c.pump();
    while (rets)
      if (auto r = c.next_ret()) (*rets)[r->seqnum] = *r; else break;
    return true;
  }

  // Imports bus id 1-1 over `c`, as usbip attach does; false when the reply
  // does not come (within 3 s) or refuses. From then on `c` reads URB replies.
  bool import(Client& c) {
    c.send(Client::op(0x8003, "1-1"));
    for (int i = 0; i < 3000 && c.received().size() < kImportReply; ++i)
      if (!step(c, nullptr)) return false;
    if (c.received().size() < kImportReply || c.be32(4) != 0) return false;
    c.devid = c.be32(8 + 288) << 16 | c.be32(8 + 292);
    c.received().erase(c.received().begin(), c.received().begin() + kImportReply);
    return true;
  }

  vb::Board board;
  vb::Machine& m;
  vb::UsbIpServer server;

private:
  static constexpr std::size_t kImportReply = 320;  // OP_REP_IMPORT with the device
  static vb::BoardOptions options(const std::string& elf) {
    vb::BoardOptions o;
    o.elf = elf;
    o.usb_cable = true;
    return o;
  }
  static vb::UsbIpServer exported(vb::Board& b) {
    b.usb_host().set_auto_enumerate(false);
    return vb::UsbIpServer(b.m(), b.usb_host(), b.otg_fs(), vb::UsbIpOptions{"127.0.0.1", 0});
  }
};
