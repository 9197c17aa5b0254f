#include "util/concurrent_map.h"

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace velarix::p2p::util {
namespace {

TEST(UtilConcurrentMap, BasicOperations) {
  ConcurrentMap<std::string, std::shared_ptr<int>> map;
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.get("a"), std::nullopt);

  auto [v1, inserted1] = map.insert_if_absent("a", std::make_shared<int>(1));
  EXPECT_TRUE(inserted1);
  auto [v2, inserted2] = map.insert_if_absent("a", std::make_shared<int>(2));
  EXPECT_FALSE(inserted2);
  EXPECT_EQ(v1, v2);
  EXPECT_EQ(**map.get("a"), 1);

  EXPECT_EQ(map.insert_or_assign("b", std::make_shared<int>(3)), std::nullopt);
  auto old = map.insert_or_assign("b", std::make_shared<int>(4));
  ASSERT_TRUE(old);
  EXPECT_EQ(**old, 3);
  EXPECT_EQ(**map.get("b"), 4);
  EXPECT_EQ(map.size(), 2u);
  EXPECT_TRUE(map.contains("b"));

  auto erased = map.erase("a");
  ASSERT_TRUE(erased);
  EXPECT_EQ(**erased, 1);
  EXPECT_EQ(map.erase("a"), std::nullopt);
  EXPECT_EQ(map.size(), 1u);

  map.clear();
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.get("b"), std::nullopt);
}

TEST(UtilConcurrentMap, EraseIfAndForEach) {
  ConcurrentMap<int, int> map(100, 4);
  for (int i = 0; i < 100; ++i) map.insert_or_assign(i, i * i);
  EXPECT_EQ(map.erase_if([](const int& k, const int&) { return k % 2 == 1; }), 50u);
  EXPECT_EQ(map.size(), 50u);
  std::set<int> keys;
  map.for_each([&](const int& k, const int& v) {
    EXPECT_EQ(v, k * k);
    keys.insert(k);
  });
  EXPECT_EQ(keys.size(), 50u);
  EXPECT_EQ(*keys.begin(), 0);
  EXPECT_EQ(*keys.rbegin(), 98);
}

TEST(UtilConcurrentMap, VisitorsMayCallBackIntoTheMap) {
  ConcurrentMap<int, int> map(0, 8);
  for (int i = 0; i < 1000; ++i) map.insert_or_assign(i, i);
  int visited = 0;
  map.for_each([&](const int& k, const int&) {
    ++visited;
    map.erase(k);                     // same shard as the visit
    map.insert_or_assign(k + 5000, k);  // any shard
  });
  // A shard copied after the visitor moved keys into it is visited with them.
  EXPECT_GE(visited, 1000);
  EXPECT_EQ(map.size(), 1000u);  // each visit erased one key and added one
  for (int k = 0; k < 1000; ++k) EXPECT_FALSE(map.contains(k));
}

TEST(UtilConcurrentMap, ConcurrentInsertAndErase) {
  ConcurrentMap<int, std::shared_ptr<int>> map;
  constexpr int kThreads = 8, kPerThread = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const int base = t * kPerThread;
      for (int i = 0; i < kPerThread; ++i) map.insert_or_assign(base + i, std::make_shared<int>(base + i));
      for (int i = 0; i < kPerThread; i += 2) map.erase(base + i);
      // Readers of other threads' keys in the meantime.
      for (int i = 0; i < kPerThread; ++i) {
        if (auto v = map.get(((t + 1) % kThreads) * kPerThread + i)) {
          if (**v != ((t + 1) % kThreads) * kPerThread + i) std::abort();
        }
      }
    });
  }
  std::thread visitor([&] {
    for (int round = 0; round < 20; ++round) {
      map.for_each([](const int& k, const std::shared_ptr<int>& v) {
        if (*v != k) std::abort();
      });
    }
  });
  for (auto& t : threads) t.join();
  visitor.join();
  EXPECT_EQ(map.size(), static_cast<std::size_t>(kThreads * kPerThread / 2));
  for (int k = 0; k < kThreads * kPerThread; ++k) EXPECT_EQ(map.contains(k), k % 2 == 1) << k;
}

TEST(UtilConcurrentMap, OneWinnerPerKey) {
  ConcurrentMap<int, int> map;
  constexpr int kThreads = 8, kKeys = 2000;
  std::atomic<int> wins{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kKeys; ++k) {
        auto [value, inserted] = map.insert_if_absent(k, t);
        if (inserted) {
          ++wins;
          if (value != t) std::abort();
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wins.load(), kKeys);
  EXPECT_EQ(map.size(), static_cast<std::size_t>(kKeys));
}

}  // namespace
}  // namespace velarix::p2p::util
