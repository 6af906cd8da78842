// The board of the USB/IP benchmarks: the image with the cable plugged in,
// its USB device exported on 127.0.0.1 (any free port) for a client that
// enumerates it itself, booted to the main loop.
#pragma once

#include <cstdio>
#include <string>

#include "sim/board/board.hpp"
#include "sim/usbhost/usb_host.hpp"
#include "sim/usbhost/usbip_server.hpp"

struct UsbIpBoard {
  explicit UsbIpBoard(const std::string& elf) : board(options(elf)), m(board.m()), server(exported(board)) {}

  // False (and said) when the image does not reach its main loop.
  bool boot() {
    if (board.boot()) return true;
    std::printf("  boot did not reach the main loop\n");
    return false;
  }

  vb::Board board;
  vb::Machine& m;
  vb::UsbIpServer server;

private:
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
