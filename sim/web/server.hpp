// The front panel's server: the page and its files over HTTP, and one
// WebSocket per page, all on a thread of its own (one I/O loop). The board
// thread hands it frames with publish() and collects the pages' requests
// with take_requests(); neither ever waits on a socket, only on a mutex that
// guards two short lists.
//
// Any number of pages may watch; one at a time holds the controls (the
// first to come, then whoever takes them over); requests from the others
// are answered with a "refused" message. Each page has a bounded queue (see
// ClientQueue): a page too slow for the console bytes is disconnected with
// a reason, and so is a page that breaks the protocol.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/web/client_queue.hpp"
#include "sim/web/protocol.hpp"

namespace vb::web {

struct ServerOptions {
  std::string bind = "127.0.0.1";  // a numeric IPv4 or IPv6 address, or localhost
  int port = 8080;                 // 0: any free port (port() tells which)
  std::string root;                // the page's files (index.html and what it loads)
  std::size_t max_clients = 64;
  std::size_t console_budget = 1 << 20;  // console bytes waiting for one page
  std::size_t lossy_budget = 128 << 10;  // status and audio bytes waiting for one page (seconds of them)
};

// What the board hands over: the frame and what a page that comes later
// should get of it.
enum class Replay : std::uint8_t {
  kNone,     // live only (audio, messages)
  kConsole,  // console bytes: kept as scroll-back (the latest 64 KiB)
  kUsb,      // USB bytes: likewise
  kStatus,   // the latest status message is sent to a new page
  kPanel,    // the latest panel message likewise
};

struct Outgoing {
  Frame frame;
  Replay replay = Replay::kNone;
};

// A page's request, with the page that made it.
struct Incoming {
  int client = 0;
  Request request;
};

class Server {
public:
  // Listens and starts the thread; throws std::runtime_error when the
  // address is not one or the port cannot be had.
  explicit Server(ServerOptions opts);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  int port() const;
  const std::string& address() const;
  std::string url() const;
  // Closes every page (after what is queued for it, for a short while) and
  // ends the thread; the destructor does it too.
  void stop();

  // --- board thread ---------------------------------------------------------
  void publish(std::vector<Outgoing> frames);
  // Requests from the page holding the controls, oldest first. A
  // TakeControls in this list means the controls changed hands (the board
  // lets the button go).
  std::vector<Incoming> take_requests();
  // What happened to pages (connected, disconnected and why), one line each.
  std::vector<std::string> take_notes();
  // Pages connected now.
  std::size_t clients() const;

  class Impl;

private:
  std::unique_ptr<Impl> impl_;
};

// Files under `root` (recursively) by URL path ("/index.html" and, for
// "/", the same), with their content types. Throws std::runtime_error when
// root has no index.html.
struct StaticFile {
  std::string body;
  std::string type;
};
std::vector<std::pair<std::string, StaticFile>> load_static_files(const std::string& root);

}  // namespace vb::web
