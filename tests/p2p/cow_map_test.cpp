#include "peer/cow_map.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "util/rcu.h"

namespace velarix::p2p {
namespace {

// Every change is checked against an ordinary map, through the growth of the table and back.
TEST(CowMap, AgreesWithAPlainMapThroughRandomChanges) {
  CowMap<int, int> map;
  std::map<int, int> expected;
  std::mt19937 rng(7);
  for (int step = 0; step < 20000; ++step) {
    const int key = static_cast<int>(rng() % 600);
    switch (rng() % 5) {
      case 0: {
        auto [v, inserted] = map.insert_if_absent(key, step);
        auto [it, ins] = expected.try_emplace(key, step);
        ASSERT_EQ(inserted, ins);
        ASSERT_EQ(v, it->second);
        break;
      }
      case 1:
        map.insert_or_assign(key, step);
        expected[key] = step;
        break;
      case 2: {
        auto old = map.erase(key);
        auto it = expected.find(key);
        ASSERT_EQ(old.has_value(), it != expected.end());
        if (it != expected.end()) {
          ASSERT_EQ(*old, it->second);
          expected.erase(it);
        }
        break;
      }
      case 3: {
        // Only odd values are removed.
        auto old = map.erase_if_key(key, [](int v) { return v % 2 == 1; });
        auto it = expected.find(key);
        const bool should = it != expected.end() && it->second % 2 == 1;
        ASSERT_EQ(old.has_value(), should);
        if (should) expected.erase(it);
        break;
      }
      default: {
        auto got = map.get(key);
        auto it = expected.find(key);
        ASSERT_EQ(got.has_value(), it != expected.end());
        if (got) {
          ASSERT_EQ(*got, it->second);
        }
      }
    }
    ASSERT_EQ(map.size(), expected.size());
    if (step % 997 == 0) {
      const auto snap = map.snapshot();
      ASSERT_EQ(snap->size(), expected.size());
      for (const auto& [k, v] : expected) ASSERT_EQ(snap->at(k), v);
    }
  }
  EXPECT_EQ(map.erase_if([](int k, int) { return k < 300; }), std::erase_if(expected, [](auto& kv) { return kv.first < 300; }));
  EXPECT_EQ(map.size(), expected.size());
  map.clear();
  EXPECT_TRUE(map.empty());
  EXPECT_TRUE(map.snapshot()->empty());
  EXPECT_FALSE(map.contains(400));
}

TEST(CowMap, AdmissionRefusedWhenFullAndASnapshotKeepsItsMoment) {
  CowMap<int, int> map;
  auto full = [](std::size_t size) { return size < 2; };
  EXPECT_TRUE(map.insert_if_absent_admitted(1, 10, full));
  EXPECT_TRUE(map.insert_if_absent_admitted(2, 20, full));
  EXPECT_FALSE(map.insert_if_absent_admitted(3, 30, full));
  // Present: found, whatever the admission says.
  auto again = map.insert_if_absent_admitted(1, 11, full);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->first, 10);
  EXPECT_FALSE(again->second);

  const auto before = map.snapshot();
  map.insert_or_assign(1, 12);
  map.erase(2);
  EXPECT_EQ(before->size(), 2u);
  EXPECT_EQ(before->at(1), 10);
  EXPECT_EQ(map.snapshot()->at(1), 12);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && defined(NDEBUG)
// A node near its peer limit: every admission used to copy the whole map.
TEST(CowMap, AdmittingEightThousandPeersIsFast) {
  CowMap<std::uint64_t, std::shared_ptr<int>> map;
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t i = 0; i < 8192; ++i) {
    ASSERT_TRUE(map.insert_if_absent_admitted(i * 0x9E3779B97F4A7C15ull, std::make_shared<int>(1),
                                              [](std::size_t n) { return n < 8192; }));
  }
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(map.size(), 8192u);
  EXPECT_LT(took, std::chrono::milliseconds(100));
}
#endif

// Readers look values up in read sections while writers replace and remove them: a value
// seen is never torn nor destroyed under the reader.
TEST(CowMap, ReadersSeeWholeLiveValuesWhileWritersChangeTheMap) {
  struct Value {
    explicit Value(int v) : a(v), b(v) {}
    ~Value() { a = b = -1; }
    int a, b;
  };
  CowMap<int, std::shared_ptr<Value>> map;
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> seen{0};
  std::atomic<bool> observed{false};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      std::uint64_t local = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        util::rcu::ReadGuard guard;
        for (int k = 0; k < 64; ++k) {
          if (const auto* v = map.find(k, guard)) {
            const Value& value = **v;
            ASSERT_GE(value.a, 0);
            ASSERT_EQ(value.a, value.b);
            ++local;
            observed.store(true, std::memory_order_relaxed);
          }
        }
      }
      seen.fetch_add(local);
    });
  }
  std::mt19937 rng(3);
  // On a busy machine the readers may start late: writing goes on until one has looked.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int i = 0; i < 20000 || (!observed.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < deadline);
       ++i) {
    const int k = static_cast<int>(rng() % 64);
    if (rng() % 3 == 0) {
      map.erase(k);
    } else {
      map.insert_or_assign(k, std::make_shared<Value>(i));
    }
    if (i % 5000 == 0) map.clear();
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_GT(seen.load(), 0u);
  EXPECT_TRUE(util::rcu::reclaim());
}

TEST(Rcu, WhatIsRetiredLivesUntilTheSectionsThatMaySeeItEnd) {
  std::atomic<int> destroyed{0};
  auto retire_one = [&] {
    util::rcu::retire(&destroyed, [](void* p) { static_cast<std::atomic<int>*>(p)->fetch_add(1); });
  };
  retire_one();  // no section open: at once
  EXPECT_EQ(destroyed.load(), 1);
  {
    util::rcu::ReadGuard outer;
    {
      util::rcu::ReadGuard nested;
      retire_one();
    }
    EXPECT_TRUE(util::rcu::in_section());
    EXPECT_EQ(destroyed.load(), 1);  // the outer section may still see it
    // A section on another thread that begins later does not hold it back, nor does it free it
    // while this one is open.
    std::thread([] { util::rcu::ReadGuard later; }).join();
    EXPECT_EQ(destroyed.load(), 1);
  }
  EXPECT_FALSE(util::rcu::in_section());
  EXPECT_EQ(destroyed.load(), 2);
}

}  // namespace
}  // namespace velarix::p2p
