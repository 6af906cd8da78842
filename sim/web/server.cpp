// Built on Boost.Beast over Boost.Asio: one io_context run by one thread,
// every socket operation asynchronous, so a page that stops reading holds
// only its own queue. Beast checks the WebSocket framing itself (masking,
// opcodes, control frames, UTF-8 in text, the message size limit) and closes
// a connection that breaks it with the matching close code.
#include "sim/web/server.hpp"

#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "sim/web/json.hpp"

namespace vb::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr std::size_t kScrollBack = 64 * 1024;
// Frames the board handed over that the server thread has not yet spread
// (it always keeps up unless the host is starved): lossy ones beyond this go.
constexpr std::size_t kHubBudget = 4 << 20;
constexpr auto kHttpTimeout = std::chrono::seconds(30);
// A page that does not answer pings for this long is gone.
constexpr auto kIdleTimeout = std::chrono::seconds(30);
// A close that cannot be written (the page does not read) ends the TCP
// connection after this long.
constexpr auto kCloseGrace = std::chrono::seconds(2);
constexpr int kSocketBuffer = 64 * 1024;
constexpr std::size_t kMaxHttpSessions = 256;

std::string content_type(const std::string& path) {
  const auto ext = std::filesystem::path(path).extension().string();
  if (ext == ".html") return "text/html; charset=utf-8";
  if (ext == ".js") return "text/javascript; charset=utf-8";
  if (ext == ".css") return "text/css; charset=utf-8";
  if (ext == ".png") return "image/png";
  if (ext == ".svg") return "image/svg+xml";
  if (ext == ".json") return "application/json";
  return "application/octet-stream";
}

std::shared_ptr<const std::string> text_of(std::string s) { return std::make_shared<const std::string>(std::move(s)); }

Frame text_frame(std::string s) { return Frame{text_of(std::move(s)), true, false}; }

}  // namespace

std::vector<std::pair<std::string, StaticFile>> load_static_files(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::pair<std::string, StaticFile>> files;
  std::error_code ec;
  if (!fs::is_regular_file(fs::path(root) / "index.html", ec))
    throw std::runtime_error("the front panel's page is missing: no index.html in " + root);
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::ostringstream body;
    body << in.rdbuf();
    const std::string rel = "/" + fs::relative(it->path(), root, ec).generic_string();
    files.emplace_back(rel, StaticFile{body.str(), content_type(rel)});
  }
  return files;
}

class WsSession;

class Server::Impl {
public:
  explicit Impl(ServerOptions opts) : opts_(std::move(opts)) {
    for (auto& [path, file] : load_static_files(opts_.root)) files_.emplace(path, std::move(file));
    files_.emplace("/", files_.at("/index.html"));
    address_ = opts_.bind == "localhost" ? "127.0.0.1" : opts_.bind;
    beast::error_code ec;
    const auto addr = net::ip::make_address(address_, ec);
    if (ec) throw std::runtime_error("front panel bind address '" + opts_.bind + "' is not a numeric IPv4 or IPv6 address");
    const tcp::endpoint ep(addr, static_cast<unsigned short>(opts_.port));
    acceptor_.open(ep.protocol(), ec);
    if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(ep, ec);
    if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (ec)
      throw std::runtime_error("front panel server cannot listen on " + address_ + " port " +
                               std::to_string(opts_.port) + ": " + ec.message());
    port_ = acceptor_.local_endpoint().port();
  }

  void start() {
    accept();
    thread_ = std::thread([this] {
      for (;;) {
        try {
          ioc_.run();
          return;
        } catch (const std::exception& e) {
          // One page's trouble (memory, say) is not the server's end.
          note(std::string("server: ") + e.what());
        }
      }
    });
  }

  void stop() {
    if (stopped_) return;
    stopped_ = true;
    net::post(ioc_, [this] { close_all(); });
    // The pages get their close frames if they read; the loop ends either way.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (clients_count_.load() > 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ioc_.stop();
    if (thread_.joinable()) thread_.join();
    // The loop has ended: the pages still here are let go from this thread.
    while (!sessions_.empty()) remove(sessions_.begin()->first, "the board's run ended");
  }

  // --- server thread ----------------------------------------------------------
  void accept();
  void add(const std::shared_ptr<WsSession>& s);
  void remove(int id, const std::string& why);
  void on_message(int id, bool text, const std::string& data);
  void distribute();
  void close_all();
  void send_roles();
  bool full() const { return sessions_.size() + handshaking_ >= opts_.max_clients; }
  const StaticFile* file(const std::string& path) const {
    const auto it = files_.find(path);
    return it == files_.end() ? nullptr : &it->second;
  }

  void note(std::string line) {
    std::lock_guard lock(mu_);
    notes_.push_back(std::move(line));
  }

  net::io_context ioc_{1};
  tcp::acceptor acceptor_{ioc_};
  net::steady_timer retry_{ioc_};
  std::thread thread_;
  bool stopped_ = false;
  ServerOptions opts_;
  std::string address_;
  int port_ = 0;
  std::map<std::string, StaticFile> files_;

  // Server thread only.
  std::map<int, std::shared_ptr<WsSession>> sessions_;
  std::size_t handshaking_ = 0;
  std::size_t http_sessions_ = 0;
  int next_id_ = 1;
  int controller_ = 0;
  std::string console_back_, usb_back_;
  std::shared_ptr<const std::string> status_, panel_;

  // Shared with the board thread.
  std::mutex mu_;
  std::vector<Outgoing> hub_;
  std::size_t hub_bytes_ = 0;
  bool posted_ = false;
  std::vector<Incoming> requests_;
  std::vector<std::string> notes_;
  std::atomic<std::size_t> clients_count_{0};
};

// --- one page's WebSocket ------------------------------------------------------

class WsSession : public std::enable_shared_from_this<WsSession> {
public:
  WsSession(beast::tcp_stream&& stream, Server::Impl& srv, int id)
      : ws_(std::move(stream)), srv_(srv), id_(id), queue_(srv.opts_.console_budget, srv.opts_.lossy_budget),
        grace_(ws_.get_executor()) {}

  int id() const { return id_; }
  std::string peer() const {
    beast::error_code ec;
    const auto ep = beast::get_lowest_layer(ws_).socket().remote_endpoint(ec);
    if (ec) return "?";
    std::ostringstream s;
    s << ep;
    return s.str();
  }

  void accept(http::request<http::string_body> req) {
    beast::get_lowest_layer(ws_).expires_never();  // the stream's own timeouts from here on
    // A small kernel buffer: a page that reads slowly shows up in its queue
    // (where old status and audio frames give way) instead of in the kernel.
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(net::socket_base::send_buffer_size(kSocketBuffer), ignored);
    websocket::stream_base::timeout t = websocket::stream_base::timeout::suggested(beast::role_type::server);
    t.idle_timeout = kIdleTimeout;
    t.keep_alive_pings = true;
    ws_.set_option(t);
    ws_.read_message_max(kMaxMessage);
    ws_.auto_fragment(false);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, "vboard front panel"); }));
    ++srv_.handshaking_;
    ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
      --self->srv_.handshaking_;
      if (ec) return self->srv_.note("page " + std::to_string(self->id_) + ": handshake failed: " + ec.message());
      self->srv_.add(self);
      self->read();
    });
  }

  // Queues a frame; a page whose console backlog is full is disconnected.
  void send(const Frame& f) {
    if (closing_) return;
    if (!queue_.push(f)) {
      close(kClosePolicy, "too slow: over " + std::to_string(srv_.opts_.console_budget >> 10) +
                              " KiB of console output waiting");
      return;
    }
    write_next();
  }

  // Ends the connection with a close frame carrying `reason` (after what is
  // queued when `drain`); a page that does not take it within kCloseGrace
  // loses the TCP connection.
  void close(std::uint16_t code, const std::string& reason, bool drain = false) {
    if (closing_ || close_after_) return;
    if (drain && (writing_ || queue_.frames() > 0)) {
      close_after_ = std::make_pair(code, reason);
      arm_grace();
      return;
    }
    closing_ = true;
    reason_ = reason;
    queue_.clear();
    ws_.async_close(websocket::close_reason(static_cast<websocket::close_code>(code), reason), [self = shared_from_this()](beast::error_code) {});
    arm_grace();
  }

  void arm_grace() {
    if (grace_armed_) return;
    grace_armed_ = true;
    grace_.expires_after(kCloseGrace);
    grace_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) beast::get_lowest_layer(self->ws_).close();
    });
  }

  std::uint64_t dropped() const { return queue_.dropped(); }

private:
  void read() {
    ws_.async_read(buf_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        std::string why = self->reason_;
        if (why.empty()) {
          why = ec.message();
          if (ec == websocket::error::closed) {
            const auto& r = self->ws_.reason();
            why = "closed by the page (" + std::to_string(r.code) + (r.reason.empty() ? "" : " " + std::string(r.reason.data(), r.reason.size())) + ")";
          }
        }
        self->grace_.cancel();
        self->srv_.remove(self->id_, why);
        return;
      }
      const std::string data = beast::buffers_to_string(self->buf_.data());
      self->buf_.consume(self->buf_.size());
      if (!self->closing_) self->srv_.on_message(self->id_, self->ws_.got_text(), data);
      self->read();
    });
  }

  void write_next() {
    if (writing_ || closing_) return;
    auto f = queue_.pop();
    if (!f) {
      if (close_after_) {
        const auto [code, reason] = *std::exchange(close_after_, std::nullopt);
        close(code, reason);
      }
      return;
    }
    writing_ = true;
    ws_.text(f->text);
    ws_.async_write(net::buffer(*f->data), [self = shared_from_this(), keep = f->data](beast::error_code ec, std::size_t) {
      self->writing_ = false;
      if (ec) {
        // The read side sees the same failure and removes the page.
        beast::get_lowest_layer(self->ws_).close();
        return;
      }
      self->write_next();
    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  Server::Impl& srv_;
  int id_;
  ClientQueue queue_;
  net::steady_timer grace_;
  beast::flat_buffer buf_;
  bool writing_ = false, closing_ = false, grace_armed_ = false;
  std::optional<std::pair<std::uint16_t, std::string>> close_after_;
  std::string reason_;
};

// --- plain HTTP: the page and its files, and the upgrade to a WebSocket ----------

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
  HttpSession(tcp::socket&& s, Server::Impl& srv) : stream_(std::move(s)), srv_(srv) { ++srv_.http_sessions_; }
  ~HttpSession() { --srv_.http_sessions_; }

  void read() {
    parser_.emplace();
    parser_->header_limit(8 * 1024);
    parser_->body_limit(8 * 1024);
    stream_.expires_after(kHttpTimeout);
    http::async_read(stream_, buf_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      self->on_read(ec);
    });
  }

private:
  void on_read(beast::error_code ec) {
    if (ec) {
      if (ec != http::error::end_of_stream) stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
      return;
    }
    http::request<http::string_body> req = parser_->release();
    if (websocket::is_upgrade(req)) {
      if (req.target() != "/ws") return reply(req, http::status::not_found, "only /ws is a WebSocket\n");
      if (srv_.full()) return reply(req, http::status::service_unavailable, "too many pages connected\n");
      auto s = std::make_shared<WsSession>(std::move(stream_), srv_, srv_.next_id_++);
      s->accept(std::move(req));
      return;
    }
    if (req.method() != http::verb::get && req.method() != http::verb::head)
      return reply(req, http::status::method_not_allowed, "only GET and HEAD\n");
    std::string path(req.target());
    path = path.substr(0, path.find('?'));
    const StaticFile* f = srv_.file(path);
    if (!f) return reply(req, http::status::not_found, "not found\n");
    auto res = std::make_shared<http::response<http::string_body>>(http::status::ok, req.version());
    res->set(http::field::server, "vboard front panel");
    res->set(http::field::content_type, f->type);
    res->set(http::field::cache_control, "no-cache");
    res->keep_alive(req.keep_alive());
    if (req.method() == http::verb::head) {
      res->content_length(f->body.size());
    } else {
      res->body() = f->body;
      res->prepare_payload();
    }
    write(res);
  }

  void reply(const http::request<http::string_body>& req, http::status st, const char* text) {
    auto res = std::make_shared<http::response<http::string_body>>(st, req.version());
    res->set(http::field::server, "vboard front panel");
    res->set(http::field::content_type, "text/plain; charset=utf-8");
    res->keep_alive(false);
    res->body() = text;
    res->prepare_payload();
    write(res);
  }

  void write(std::shared_ptr<http::response<http::string_body>> res) {
    http::async_write(stream_, *res, [self = shared_from_this(), res](beast::error_code ec, std::size_t) {
      if (!ec && res->keep_alive()) return self->read();
      self->stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    });
  }

  beast::tcp_stream stream_;
  Server::Impl& srv_;
  beast::flat_buffer buf_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

// --- the server's own work ----------------------------------------------------

void Server::Impl::accept() {
  acceptor_.async_accept(net::make_strand(ioc_), [this](beast::error_code ec, tcp::socket s) {
    if (ec == net::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors or memory: try again a little later rather
      // than spinning on the error.
      retry_.expires_after(std::chrono::milliseconds(100));
      retry_.async_wait([this](beast::error_code e) {
        if (!e) accept();
      });
      return;
    }
    // Connections that have not become pages yet are bounded too.
    if (http_sessions_ < kMaxHttpSessions) std::make_shared<HttpSession>(std::move(s), *this)->read();
    accept();
  });
}

void Server::Impl::add(const std::shared_ptr<WsSession>& s) {
  sessions_[s->id()] = s;
  clients_count_.store(sessions_.size());
  if (controller_ == 0) controller_ = s->id();
  note("page " + std::to_string(s->id()) + " connected from " + s->peer());
  s->send(text_frame("{\"type\":\"hello\",\"protocol\":" + std::to_string(kProtocolVersion) +
                     ",\"page\":" + std::to_string(s->id()) + ",\"audio_rate\":8000}"));
  send_roles();
  if (status_) s->send(Frame{status_, true, false});
  if (panel_) s->send(Frame{panel_, true, false});
  if (!console_back_.empty()) s->send(Frame{text_of(console_frame(Channel::kConsole, console_back_)), false, true});
  if (!usb_back_.empty()) s->send(Frame{text_of(console_frame(Channel::kUsb, usb_back_)), false, true});
}

void Server::Impl::remove(int id, const std::string& why) {
  const auto it = sessions_.find(id);
  if (it == sessions_.end()) return;
  const std::uint64_t dropped = it->second->dropped();
  sessions_.erase(it);
  clients_count_.store(sessions_.size());
  note("page " + std::to_string(id) + " left: " + why +
       (dropped ? " (" + std::to_string(dropped) + " status and audio frames dropped while it read slowly)" : ""));
  if (controller_ == id) {
    controller_ = sessions_.empty() ? 0 : sessions_.begin()->first;
    std::lock_guard lock(mu_);
    requests_.push_back({controller_, TakeControls{}});
  }
  send_roles();
}

void Server::Impl::send_roles() {
  const std::string n = std::to_string(sessions_.size());
  for (auto& [id, s] : sessions_)
    s->send(text_frame(std::string("{\"type\":\"role\",\"role\":\"") + (id == controller_ ? "control" : "watching") +
                       "\",\"pages\":" + n + "}"));
}

void Server::Impl::on_message(int id, bool text, const std::string& data) {
  const auto it = sessions_.find(id);
  if (it == sessions_.end()) return;
  const Parsed p = text ? parse_text(data) : parse_binary(data);
  if (const Refusal* r = std::get_if<Refusal>(&p)) return it->second->close(r->code, r->reason);
  const Request& req = std::get<Request>(p);
  if (std::holds_alternative<TakeControls>(req)) {
    if (controller_ == id) return;
    controller_ = id;
    {
      std::lock_guard lock(mu_);
      requests_.push_back({id, TakeControls{}});
    }
    note("page " + std::to_string(id) + " took the controls");
    return send_roles();
  }
  if (controller_ != id) {
    it->second->send(text_frame(
        "{\"type\":\"refused\",\"reason\":\"another page holds the controls; take them over first\"}"));
    return;
  }
  std::lock_guard lock(mu_);
  requests_.push_back({id, req});
}

void Server::Impl::distribute() {
  std::vector<Outgoing> frames;
  {
    std::lock_guard lock(mu_);
    frames.swap(hub_);
    hub_bytes_ = 0;
    posted_ = false;
  }
  const auto keep = [](std::string& back, const std::string& frame) {
    back.append(frame, 1);
    if (back.size() > kScrollBack) back.erase(0, back.size() - kScrollBack);
  };
  // Taken once: a page disconnected while this runs stays alive in the list
  // (its sends are then dropped by the closing session).
  std::vector<std::shared_ptr<WsSession>> pages;
  pages.reserve(sessions_.size());
  for (auto& [id, s] : sessions_) pages.push_back(s);
  for (const Outgoing& o : frames) {
    switch (o.replay) {
      case Replay::kConsole: keep(console_back_, *o.frame.data); break;
      case Replay::kUsb: keep(usb_back_, *o.frame.data); break;
      case Replay::kStatus: status_ = o.frame.data; break;
      case Replay::kPanel: panel_ = o.frame.data; break;
      case Replay::kNone: break;
    }
    for (auto& s : pages) s->send(o.frame);
  }
}

void Server::Impl::close_all() {
  acceptor_.close();
  for (auto& [id, s] : sessions_) s->close(kCloseGoingAway, "the board's run ended", true);
}

// --- the board thread's side -----------------------------------------------------

Server::Server(ServerOptions opts) : impl_(std::make_unique<Impl>(std::move(opts))) { impl_->start(); }

Server::~Server() { impl_->stop(); }

void Server::stop() { impl_->stop(); }

int Server::port() const { return impl_->port_; }
const std::string& Server::address() const { return impl_->address_; }

std::string Server::url() const {
  const std::string& a = impl_->address_;
  const bool v6 = a.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + a + "]" : a) + ":" + std::to_string(impl_->port_) + "/";
}

void Server::publish(std::vector<Outgoing> frames) {
  if (frames.empty()) return;
  Impl& s = *impl_;
  bool post = false;
  {
    std::lock_guard lock(s.mu_);
    for (auto& f : frames) {
      s.hub_bytes_ += f.frame.data->size();
      s.hub_.push_back(std::move(f));
    }
    // The server thread is far behind: let the oldest lossy frames go.
    for (auto it = s.hub_.begin(); s.hub_bytes_ > kHubBudget && it != s.hub_.end();) {
      if (it->frame.lossless) {
        ++it;
        continue;
      }
      s.hub_bytes_ -= it->frame.data->size();
      it = s.hub_.erase(it);
    }
    post = !s.posted_;
    s.posted_ = true;
  }
  if (post) net::post(s.ioc_, [impl = impl_.get()] { impl->distribute(); });
}

std::vector<Incoming> Server::take_requests() {
  std::lock_guard lock(impl_->mu_);
  return std::exchange(impl_->requests_, {});
}

std::vector<std::string> Server::take_notes() {
  std::lock_guard lock(impl_->mu_);
  return std::exchange(impl_->notes_, {});
}

std::size_t Server::clients() const { return impl_->clients_count_.load(); }

}  // namespace vb::web
