// The front panel's protocol pieces on their own: the JSON reader that every
// page's message goes through, the message rules, and the per-page queue.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "sim/web/button_timeline.hpp"
#include "sim/web/client_queue.hpp"
#include "sim/web/json.hpp"
#include "sim/web/protocol.hpp"
#include "sim/web/server.hpp"

namespace vb::web {
namespace {

TEST(WebJson, ShouldReadPlainMembersAndRefuseWhatIsNotOneObject) {
  struct Case {
    const char* text;
    bool ok;
    const char* error;  // start of the reason when refused
  };
  const Case cases[] = {
      {R"({"type":"button","pressed":true,"t":12.5})", true, ""},
      {R"(  {"a":null,"b":false,"c":-0.5e3,"d":"x\"\\\/\n\u00e9\ud83d\ude00"} )", true, ""},
      {R"({"nested":{"x":[1,{"y":[]}]},"type":"take"})", true, ""},
      {"{}", true, ""},
      {"", false, "expected an object"},
      {"[1]", false, "expected an object"},
      {R"({"a":1,})", false, "expected a string"},
      {R"({"a" 1})", false, "expected ':'"},
      {R"({"a":1} x)", false, "text after the object"},
      {R"({"a":01})", false, "expected ',' or '}'"},
      {R"({"a":1.})", false, "expected a digit"},
      {R"({"a":1e999})", false, "number out of range"},
      {R"({"a":tru})", false, "expected a value"},
      {"{\"a\":\"\x01\"}", false, "control character"},
      {R"({"a":"\x"})", false, "bad escape"},
      {R"({"a":"\ud800"})", false, "unpaired surrogate"},
      {R"({"a":"\udc00"})", false, "unpaired surrogate"},
      {R"({"a":"abc)", false, "unterminated string"},
      {R"({"a":[1,2})", false, "expected ',' or ']'"},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto obj = parse_object(c.text, error);
    EXPECT_EQ(c.ok, obj.has_value()) << c.text << ": " << error;
    if (!c.ok) {
      EXPECT_EQ(0u, error.find(c.error)) << c.text << ": " << error;
    }
  }
  std::string error;
  const auto obj = parse_object(R"({"d":"x\"\\\/\n\u00e9\ud83d\ude00","n":{"k":1},"f":false,"z":null})", error);
  ASSERT_TRUE(obj);
  EXPECT_EQ(JsonValue(std::string("x\"\\/\n\xC3\xA9\xF0\x9F\x98\x80")), obj->at("d"));
  EXPECT_EQ(JsonValue(Nested{}), obj->at("n"));
  EXPECT_EQ(JsonValue(false), obj->at("f"));
  EXPECT_EQ(JsonValue(nullptr), obj->at("z"));
}

TEST(WebJson, ShouldBoundNestingWithoutRecursingPastIt) {
  std::string deep = R"({"a":)";
  for (int i = 0; i < 100000; ++i) deep += '[';
  std::string error;
  EXPECT_FALSE(parse_object(deep, error));
  EXPECT_EQ(0u, error.find("nested too deeply")) << error;
  std::string ok = R"({"a":)" + std::string(31, '[') + std::string(31, ']') + "}";
  EXPECT_TRUE(parse_object(ok, error)) << error;
}

TEST(WebJson, ShouldWriteStringsAsValidJsonWhateverTheBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\r\n\x1b\x7f", R"("\u000d\u000a\u001b\u007f")"},
      {"\xC3\xA9", "\"\xC3\xA9\""},                 // UTF-8 kept
      {"\xFF" "a", "\"\xEF\xBF\xBD" "a\""},        // not UTF-8: U+FFFD
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},  // overlong form
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a surrogate
      {"\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},  // cut short
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(out, json_string(in));
    std::string error;
    EXPECT_TRUE(parse_object("{\"k\":" + json_string(in) + "}", error)) << error;
  }
}

TEST(WebJson, ShouldWriteNumbersThatReadBackAndDeviceTimesToTheMicrosecond) {
  const std::pair<double, std::string> cases[] = {
      {0, "0"},
      {0.453125, "0.453125"},
      {4000, "4000"},
      {-12.5, "-12.5"},
      {86'400'000.125, "86400000.125"},  // a day of device time in ms
      {std::nan(""), "0"},
      {1.0 / 0.0, "0"},
  };
  for (const auto& [v, text] : cases) {
    EXPECT_EQ(text, json_number(v));
    std::string error;
    EXPECT_TRUE(parse_object("{\"n\":" + json_number(v) + "}", error)) << error;
  }
}

TEST(WebProtocol, ShouldTurnPageMessagesIntoRequestsOrRefusals) {
  struct Case {
    std::string text;
    int code;  // 0: a request
    const char* reason;
  };
  const Case cases[] = {
      {R"({"type":"take"})", 0, ""},
      {R"({"type":"button","pressed":false})", 0, ""},
      {R"({"type":"cable","plugged":true,"extra":[1]})", 0, ""},
      {R"({"type":"button","pressed":"yes"})", kClosePolicy, "button message without \"pressed\""},
      {R"({"type":"button","pressed":true,"t":null})", kClosePolicy, "button message whose \"t\""},
      {R"({"type":"cable"})", kClosePolicy, "cable message without"},
      {R"({"type":7})", kClosePolicy, "message without a \"type\" string"},
      {R"({"type":"reset\u0001"})", kClosePolicy, "unknown message type 'reset?'"},
      {"{\"type\":\"" + std::string(500, 'x') + "\"}", kClosePolicy, "unknown message type 'xxxx"},
      {"take", kCloseBadPayload, "not a JSON object"},
  };
  for (const Case& c : cases) {
    const Parsed p = parse_text(c.text);
    if (c.code == 0) {
      EXPECT_TRUE(std::holds_alternative<Request>(p)) << c.text;
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<Refusal>(p)) << c.text;
    const auto& r = std::get<Refusal>(p);
    EXPECT_EQ(c.code, r.code) << c.text;
    EXPECT_EQ(0u, r.reason.find(c.reason)) << r.reason;
    EXPECT_LE(r.reason.size(), 123u);  // what a close frame can carry
  }
  const auto b = std::get<Request>(parse_text(R"({"type":"button","pressed":true,"t":1234.5})"));
  ASSERT_TRUE(std::holds_alternative<ButtonEdge>(b));
  EXPECT_TRUE(std::get<ButtonEdge>(b).pressed);
  EXPECT_EQ(1234.5, std::get<ButtonEdge>(b).t.value_or(0));
}

TEST(WebProtocol, ShouldTakeTypedBytesOnlyForTheTwoConsoles) {
  const auto typed = [](std::string_view bytes) { return std::get<Typed>(std::get<Request>(parse_binary(bytes))); };
  EXPECT_EQ(Channel::kConsole, typed("\x01?").port);
  EXPECT_EQ(std::string("\x01\x09", 2), typed(std::string("\x01\x01\x09", 3)).bytes);
  EXPECT_EQ(Channel::kUsb, typed("\x02?\r").port);
  EXPECT_EQ("?\r", typed("\x02?\r").bytes);
  for (const std::string& bad : {std::string(), std::string("\x03x"), std::string(1, '\0'), std::string("\xff")}) {
    const Parsed p = parse_binary(bad);
    ASSERT_TRUE(std::holds_alternative<Refusal>(p));
    EXPECT_EQ(kCloseUnsupported, std::get<Refusal>(p).code);
  }
}

TEST(WebProtocol, ShouldPutTheFirstSampleIndexLittleEndianBeforeTheSamples) {
  const std::uint8_t samples[] = {0x80, 0x7F, 0x00};
  const std::string f = audio_frame(0x0102030405060708ull, samples);
  EXPECT_EQ(std::string("\x03\x08\x07\x06\x05\x04\x03\x02\x01\x80\x7f\x00", 12), f);
}

// Page clock in ms, device time in cycles at 1000 cycles a millisecond.
TEST(WebButtonTimeline, ShouldKeepThePagesIntervalsBehindAFirstEdgeDelayedBy40Ms) {
  constexpr double kPerMs = 1000;
  struct Edge {
    cycles_t now;  // when the edge arrives
    int page;
    bool pressed;
    std::optional<double> page_ms;
    cycles_t at;  // when it takes effect
  };
  struct Case {
    const char* name;
    std::vector<Edge> edges;
  };
  const Case cases[] = {
      {"first edge 40 ms after it arrives", {{5'000, 1, true, 1e6, 45'000}}},
      {"double press and hold, spaced as the page saw it",
       {{0, 1, true, 100, 40'000}, {3'000, 1, false, 250, 190'000}, {9'000, 1, true, 400, 340'000},
        {12'000, 1, false, 800, 740'000}}},
      {"a late edge moves the origin, the next keeps its spacing",
       {{0, 1, true, 0, 40'000}, {100'000, 1, false, 20, 100'000}, {100'000, 1, true, 50, 130'000}}},
      {"2000 ms apart is still the same gesture",
       {{0, 1, true, 0, 40'000}, {100'000, 1, false, 2000, 2'040'000}}},
      {"more than 2000 ms apart starts over",
       {{0, 1, true, 0, 40'000}, {100'000, 1, false, 100, 140'000}, {2'000'000, 1, true, 2100.5, 2'040'000}}},
      {"a page clock going back starts over, after what waits",
       {{0, 1, true, 100, 40'000}, {1'000, 1, false, 50, 41'000}}},
      {"another page starts over, after what waits",
       {{0, 1, true, 0, 40'000}, {1'000, 2, true, 10, 41'000}, {1'000, 1, false, 20, 41'001}}},
      {"without a page time: at once", {{7'000, 1, true, std::nullopt, 7'000}}},
      {"without a page time: never before an edge waiting",
       {{0, 1, true, 0, 40'000}, {1'000, 1, false, std::nullopt, 40'001}, {2'000, 1, true, std::nullopt, 40'002},
        {3'000, 1, false, std::nullopt, 40'003}}},
  };
  for (const Case& c : cases) {
    ButtonTimeline timeline;
    for (const Edge& e : c.edges) {
      const auto at = timeline.place(e.now, kPerMs, e.page, e.pressed, e.page_ms);
      ASSERT_TRUE(at) << c.name;
      EXPECT_EQ(e.at, *at) << c.name << ": edge arriving at " << e.now;
    }
  }
}

TEST(WebButtonTimeline, ShouldLet32EdgesWaitAndThenOnlyTheReleaseOfAWaitingPress) {
  ButtonTimeline timeline;
  for (int k = 0; k < 16; ++k) {  // 16 presses of 500 ms, 1 s apart: 32 edges waiting
    ASSERT_TRUE(timeline.place(0, 1000, 1, true, k * 1000.0)) << k;
    ASSERT_TRUE(timeline.place(0, 1000, 1, false, k * 1000.0 + 500)) << k;
  }
  EXPECT_FALSE(timeline.place(0, 1000, 1, true, 16'000));  // the 33rd edge
  EXPECT_FALSE(timeline.place(0, 1000, 1, false, 16'500));
  // Once the first two are due, a press and its release fit again.
  EXPECT_EQ(cycles_t{16'040'000}, timeline.place(540'000, 1000, 1, true, 16'000).value_or(0));
  EXPECT_EQ(cycles_t{16'540'000}, timeline.place(540'000, 1000, 1, false, 16'500).value_or(0));
  EXPECT_FALSE(timeline.place(540'000, 1000, 1, true, 17'000));
  // Full, with a press last: its release is still taken, after it.
  ButtonTimeline held;
  for (int k = 0; k < 31; ++k) ASSERT_TRUE(held.place(0, 1000, 1, k % 2 == 0, k * 100.0));
  ASSERT_TRUE(held.place(0, 1000, 1, true, 3100));  // the 32nd edge, a press
  EXPECT_FALSE(held.place(0, 1000, 1, true, 3150));
  EXPECT_EQ(cycles_t{3'240'000}, held.place(0, 1000, 1, false, 3200).value_or(0));
}

Frame frame(std::size_t n, bool lossless, char fill = 'x') {
  return Frame{std::make_shared<const std::string>(n, fill), false, lossless};
}

TEST(WebClientQueue, ShouldDropOldestLossyFramesAndKeepEveryConsoleByte) {
  ClientQueue q(1000, 300);
  EXPECT_TRUE(q.push(frame(100, false, 'a')));
  EXPECT_TRUE(q.push(frame(400, true, 'C')));
  EXPECT_TRUE(q.push(frame(100, false, 'b')));
  EXPECT_TRUE(q.push(frame(100, false, 'c')));
  EXPECT_EQ(0u, q.dropped());
  EXPECT_TRUE(q.push(frame(100, false, 'd')));  // over 300 lossy bytes: 'a' goes
  EXPECT_EQ(1u, q.dropped());
  std::string order;
  while (auto f = q.pop()) order += f->data->front();
  EXPECT_EQ("Cbcd", order);
  EXPECT_EQ(0u, q.bytes());
}

TEST(WebClientQueue, ShouldKeepTheNewestLossyFrameEvenWhenItAloneIsOverBudget) {
  ClientQueue q(1000, 300);
  EXPECT_TRUE(q.push(frame(100, false, 'a')));
  EXPECT_TRUE(q.push(frame(500, false, 'b')));
  EXPECT_EQ(1u, q.frames());
  EXPECT_EQ('b', q.pop()->data->front());
}

TEST(WebClientQueue, ShouldRefuseConsoleBytesPastTheirBudget) {
  ClientQueue q(1000, 300);
  EXPECT_TRUE(q.push(frame(600, true)));
  EXPECT_TRUE(q.push(frame(400, true)));  // exactly the budget
  EXPECT_FALSE(q.push(frame(1, true)));   // one byte more: the page must go
  EXPECT_EQ(2u, q.frames());
  q.pop();
  EXPECT_TRUE(q.push(frame(600, true)));  // room again once written
}

TEST(WebStaticFiles, ShouldServeOnlyWhatIsUnderTheRoot) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("panel-files-" + std::to_string(::getpid()));
  fs::create_directories(root / "vendor");
  std::ofstream(root / "vendor" / "x.js") << "js";
  EXPECT_THROW(load_static_files(root.string()), std::runtime_error);  // no index.html
  std::ofstream(root / "index.html") << "<html>";
  const auto files = load_static_files(root.string());
  std::map<std::string, std::string> types;
  for (const auto& [path, f] : files) types[path] = f.type;
  EXPECT_EQ((std::map<std::string, std::string>{{"/index.html", "text/html; charset=utf-8"},
                                                {"/vendor/x.js", "text/javascript; charset=utf-8"}}),
            types);
  fs::remove_all(root);
}

// A page on a bare socket that completes the WebSocket handshake and then
// never reads again.
int stalled_page(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
  const std::string req =
      "GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  if (::write(fd, req.data(), req.size()) != static_cast<ssize_t>(req.size())) return -1;
  std::string head;
  char c;
  while (head.find("\r\n\r\n") == std::string::npos && ::read(fd, &c, 1) == 1) head += c;
  return head.rfind("HTTP/1.1 101", 0) == 0 ? fd : -1;
}

TEST(WebServer, ShouldDisconnectAPageTooSlowForTheConsoleAndKeepTakingFrames) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("panel-server-" + std::to_string(::getpid()));
  fs::create_directories(root);
  std::ofstream(root / "index.html") << "<html>";
  struct Case {
    std::optional<std::size_t> budget;  // none: the server's own
    std::size_t waits;                  // console bytes a page may let wait
    const char* note;
  };
  const Case cases[] = {
      {64 * 1024, 64 * 1024, "page 1 left: too slow: over 64 KiB of console output waiting"},
      {std::nullopt, 1 << 20, "page 1 left: too slow: over 1024 KiB of console output waiting"},
  };
  for (const Case& c : cases) {
    ServerOptions o;
    o.port = 0;
    o.root = root.string();
    if (c.budget) o.console_budget = *c.budget;
    Server server(o);
    const int fd = stalled_page(server.port());
    ASSERT_GE(fd, 0);
    const auto console =
        std::make_shared<const std::string>(console_frame(Channel::kConsole, std::string(1024, 'x')));
    std::string left;
    std::size_t published = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (left.empty() && std::chrono::steady_clock::now() < deadline) {
      // Console bytes keep coming, as from a board: publish() never waits.
      std::vector<Outgoing> frames;
      for (int i = 0; i < 64; ++i) frames.push_back({Frame{console, false, true}, Replay::kNone});
      server.publish(std::move(frames));
      published += 64 * console->size();
      for (const std::string& note : server.take_notes())
        if (note.find("left") != std::string::npos) left = note;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(c.note, left);
    EXPECT_GT(published, c.waits) << c.note;  // the queue held all it may before the page went
    EXPECT_EQ(0u, server.clients());
    ::close(fd);
    server.stop();
  }
  fs::remove_all(root);
}

}  // namespace
}  // namespace vb::web
