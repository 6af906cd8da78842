// The event queue every model shares: events run in time order, events due
// at the same cycle in the order they were queued, cancelled events never.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/core/scheduler.hpp"

namespace vb {
namespace {

TEST(CoreScheduler, ShouldRunDueEventsByTimeThenByQueuingOrder) {
  struct Case {
    const char* name;
    std::vector<cycles_t> at;  // event i (named 'a' + i) queued in this order
    std::vector<int> cancel;   // indices cancelled before the run
    cycles_t now;
    std::string ran;
  };
  const Case cases[] = {
      {"in time order", {30, 10, 20}, {}, 100, "bca"},
      {"same cycle: queuing order", {10, 10, 5, 10}, {}, 100, "cabd"},
      {"only those due", {10, 50, 20, 51}, {}, 50, "acb"},
      {"cancelled ones never", {10, 20, 30, 20}, {1, 2}, 100, "ad"},
      {"a time in the past runs at once", {0, 0}, {}, 7, "ab"},
  };
  for (const Case& c : cases) {
    Scheduler s;
    std::string ran;
    std::vector<Scheduler::Handle> handles;
    for (std::size_t i = 0; i < c.at.size(); ++i)
      handles.push_back(s.at(c.at[i], [&ran, i] { ran += static_cast<char>('a' + i); }));
    for (int i : c.cancel) EXPECT_TRUE(s.cancel(handles[static_cast<std::size_t>(i)])) << c.name;
    for (int i : c.cancel) EXPECT_FALSE(s.cancel(handles[static_cast<std::size_t>(i)])) << c.name << ": twice";
    s.set_now(c.now);
    s.run_due();
    EXPECT_EQ(c.ran, ran) << c.name;
    EXPECT_EQ(c.ran.size(), s.dispatched()) << c.name;
    EXPECT_EQ(c.at.size() - c.cancel.size() - c.ran.size(), s.pending()) << c.name;
  }
}

TEST(CoreScheduler, ShouldRunEventsQueuedByAnEventInTheSameCallWhenTheyAreDue) {
  Scheduler s;
  std::string ran;
  s.at(10, [&] {
    ran += 'a';
    s.at(5, [&] { ran += 'b'; });          // already due
    s.after(0, [&] { ran += 'c'; });       // due now, queued after b
    s.at(11, [&] { ran += 'd'; });         // not yet
    s.cancel(s.at(10, [&] { ran += 'x'; }));
  });
  s.set_now(10);
  s.run_due();
  EXPECT_EQ("abc", ran);
  EXPECT_EQ(11u, s.next_due());
  s.advance(1);
  s.run_due();
  EXPECT_EQ("abcd", ran);
  EXPECT_EQ(kNever, s.next_due());
  EXPECT_TRUE(s.empty());
}

}  // namespace
}  // namespace vb
