#include "util/snapshot.h"

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "p2p/util_test_support.h"

namespace velarix::p2p::util {
namespace {

// A value that is easy to tear: every word must hold the same number.
struct Wide {
  std::array<std::uint64_t, 16> words{};
  explicit Wide(std::uint64_t v = 0) { words.fill(v); }
  bool consistent() const {
    for (auto w : words) {
      if (w != words[0]) return false;
    }
    return true;
  }
};

TEST(UtilSnapshot, LoadAndStore) {
  Snapshot<int> s(1);
  EXPECT_EQ(*s.load(), 1);
  s.store(2);
  EXPECT_EQ(*s.load(), 2);
  auto old = s.exchange(std::make_shared<const int>(3));
  EXPECT_EQ(*old, 2);
  EXPECT_EQ(*s.load(), 3);
  Snapshot<std::vector<int>> empty;
  EXPECT_TRUE(empty.load()->empty());
}

TEST(UtilSnapshot, AReaderKeepsItsValueWhileWritersReplaceIt) {
  test::Counter destroyed;
  struct Probe {
    test::Counter* c;
    int v;
    ~Probe() { c->add(); }
  };
  Snapshot<Probe> s(std::make_shared<const Probe>(Probe{&destroyed, 1}));
  auto held = s.load();
  s.store(std::make_shared<const Probe>(Probe{&destroyed, 2}));
  EXPECT_EQ(held->v, 1);
  EXPECT_EQ(s.load()->v, 2);
  const long before = destroyed.value();
  held.reset();  // the old value goes with its last reader
  EXPECT_EQ(destroyed.value(), before + 1);
}

TEST(UtilSnapshot, ACachedReaderReloadsOnlyAfterAStore) {
  test::Counter destroyed;
  struct Probe {
    test::Counter* c;
    int v;
    ~Probe() { c->add(); }
  };
  Snapshot<Probe> s(std::make_shared<const Probe>(Probe{&destroyed, 1}));
  Snapshot<Probe>::Cached cached(s);
  const Probe* first = &cached.get();
  const long refs = s.load().use_count();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(&cached.get(), first);
  EXPECT_EQ(s.load().use_count(), refs) << "repeated reads take no new reference";

  auto next = std::make_shared<const Probe>(Probe{&destroyed, 2});
  const long before = destroyed.value();
  s.store(std::move(next));
  EXPECT_EQ(destroyed.value(), before) << "the cached reader still holds the old value";
  EXPECT_EQ(cached.get().v, 2);
  EXPECT_EQ(destroyed.value(), before + 1) << "and lets it go on its next read";
}

TEST(UtilSnapshot, ReadersNeverSeeATornValue) {
  Snapshot<Wide> s(Wide(0));
  std::atomic<bool> stop{false};
  std::atomic<long> torn{0}, loads{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < 4; ++r) {
    threads.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        auto v = s.load();
        if (!v->consistent()) ++torn;
        ++loads;
      }
    });
  }
  std::thread writer([&] {
    for (std::uint64_t i = 1; i <= 50000; ++i) s.store(Wide(i));
  });
  std::thread other_writer([&] {
    // Stores back what it read: writers and readers meet on the same value too.
    for (int i = 0; i < 20000; ++i) s.store(s.load());
  });
  writer.join();
  other_writer.join();
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(loads.load(), 0);
}

}  // namespace
}  // namespace velarix::p2p::util
