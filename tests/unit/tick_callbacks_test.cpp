// The SysTick callback chain and its handler, compiled for the host: which
// records run on which tick, in what order, and what adding, re-arming and
// removing records does to a chain being walked.
#include <gtest/gtest.h>

#include <string>

#include "system/systick.hpp"

namespace {

SysTick_callback g_rec[4];  // records A, B, C, D
std::string g_log;          // one letter per callback call

template <char Id>
void log_call() {
  g_log += Id;
}

class TickCallbacks : public testing::Test {
protected:
  void SetUp() override {
    callback_ptr = nullptr;
    count_SysTick_Reloaded = 0;
    for (auto& r : g_rec) r = {nullptr, 0, nullptr};
    g_log.clear();
  }
  // Runs n ticks; returns the calls of each tick, separated by '|'.
  static std::string ticks(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
      g_log.clear();
      hndl_SysTick();
      out += (i ? "|" : "") + g_log;
    }
    return out;
  }
  static void add_abc() {
    for (int i = 0; i < 3; ++i) add_SysTick_callback(&g_rec[i]);
  }
  static std::string chain() {
    std::string ids;
    for (SysTick_callback* p = callback_ptr; p != nullptr; p = p->next) ids += char('A' + (p - g_rec));
    return ids;
  }
};

TEST_F(TickCallbacks, ShouldCallAOneShotRecordOnceOnTheNthTickThenStayIdle) {
  struct Case { std::uint32_t expires; const char* calls; };
  for (const Case& c : {Case{1, "A||||"}, Case{2, "|A|||"}, Case{5, "||||A"}}) {
    SetUp();
    g_rec[0] = {nullptr, c.expires, log_call<'A'>};
    EXPECT_EQ(0, add_SysTick_callback(&g_rec[0]));
    EXPECT_EQ(c.calls, ticks(5)) << "expires " << c.expires;
    EXPECT_EQ(0u, g_rec[0].expires);
    EXPECT_EQ("||", ticks(3));
  }
}

TEST_F(TickCallbacks, ShouldRunPeriodicRecordsEveryTickInRegistrationOrder) {
  g_rec[0] = {nullptr, SYSTICK_EVERY_TICK, log_call<'A'>};
  g_rec[1] = {nullptr, 2, log_call<'B'>};
  g_rec[2] = {nullptr, 0, log_call<'C'>};  // idle
  g_rec[3] = {nullptr, SYSTICK_EVERY_TICK, log_call<'D'>};
  for (auto& r : g_rec) add_SysTick_callback(&r);

  EXPECT_EQ("AD|ABD|AD", ticks(3));
  EXPECT_EQ(3u, count_SysTick_Reloaded);
  EXPECT_EQ(SYSTICK_EVERY_TICK, g_rec[0].expires);
  EXPECT_EQ(SYSTICK_EVERY_TICK, g_rec[3].expires);
}

void rearm_b() {
  g_log += 'B';
  g_rec[1].expires = 3;
}

TEST_F(TickCallbacks, ShouldKeepAnExpiryTheCallbackWroteForItself) {
  g_rec[1] = {nullptr, 2, rearm_b};
  add_SysTick_callback(&g_rec[0]);  // idle record ahead of it
  add_SysTick_callback(&g_rec[1]);

  EXPECT_EQ("|B|||B|||B||", ticks(10));
}

void append_c() {
  g_log += 'A';
  if (g_rec[2].func == nullptr) {
    g_rec[2] = {nullptr, SYSTICK_EVERY_TICK, log_call<'C'>};
    add_SysTick_callback(&g_rec[2]);
  }
}

TEST_F(TickCallbacks, ShouldServeARecordAppendedByACallbackInTheSameTick) {
  g_rec[0] = {nullptr, SYSTICK_EVERY_TICK, append_c};
  add_SysTick_callback(&g_rec[0]);

  EXPECT_EQ("AC|AC", ticks(2));
}

void remove_self_b() {
  g_log += 'B';
  del_SysTick_callback(&g_rec[1]);
}

TEST_F(TickCallbacks, ShouldGoOnAlongTheChainWhenACallbackRemovesItself) {
  g_rec[0] = {nullptr, SYSTICK_EVERY_TICK, log_call<'A'>};
  g_rec[1] = {nullptr, SYSTICK_EVERY_TICK, remove_self_b};
  g_rec[2] = {nullptr, SYSTICK_EVERY_TICK, log_call<'C'>};
  add_abc();

  EXPECT_EQ("ABC|AC", ticks(2));
  EXPECT_EQ("AC", chain());
}

TEST_F(TickCallbacks, ShouldUnlinkOnlyARecordThatIsInTheChain) {
  struct Case { const char* what; int remove; int result; const char* chain_after; };  // remove: index into g_rec
  const Case cases[] = {
      {"first", 0, 0, "BC"},
      {"middle", 1, 0, "AC"},
      {"last", 2, 0, "AB"},
      {"never added", 3, -1, "ABC"},
  };
  for (const auto& c : cases) {
    SetUp();
    add_abc();
    EXPECT_EQ(c.result, del_SysTick_callback(&g_rec[c.remove])) << c.what;
    EXPECT_EQ(c.chain_after, chain()) << c.what;
    EXPECT_EQ(-1, del_SysTick_callback(&g_rec[c.remove])) << c.what << ", removed twice";
  }
}

TEST_F(TickCallbacks, ShouldTakeARemovedRecordBackAtTheEnd) {
  add_abc();
  EXPECT_EQ(0, del_SysTick_callback(&g_rec[0]));
  EXPECT_EQ(0, add_SysTick_callback(&g_rec[0]));
  EXPECT_EQ("BCA", chain());
}

TEST_F(TickCallbacks, ShouldOnlyCountTicksWhenTheChainIsEmpty) {
  EXPECT_EQ("||", ticks(3));
  EXPECT_EQ(3u, count_SysTick_Reloaded);
}

}  // namespace
