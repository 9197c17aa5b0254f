// The status report through the C interface.

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <thread>

#include <boost/asio/awaitable.hpp>

#include "common/agent_harness.h"
#include "ffi/ffi.h"
#include "ffi/handles.h"
#include "held_state.h"
#include "velarix_agent.h"

using velarix::test::AgentHarness;
using velarix::test::eventually;
using velarix::test::HeldState;

namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace {

void on_change(const CNetworkChange*) {}

// The report as a std::string; the C text released as the header says.
std::string take(char* text) {
  EXPECT_NE(text, nullptr);
  if (text == nullptr) return {};
  std::string out(text);
  velarix_agent_status_free(text);
  return out;
}

class CStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(velarix_agent_runtime(&runtime_), 0);
    const auto path = harness_.write_config();
    ASSERT_EQ(velarix_agent_config_load_or_generate(path.c_str(), &config_), 0);
    ASSERT_EQ(velarix_agent_start(runtime_, config_, path.c_str(), nullptr, on_change, nullptr, &agent_), 0);
  }
  void TearDown() override {
    velarix_agent_shutdown(runtime_, agent_);
    velarix_agent_free(agent_);
    velarix_agent_config_free(config_);
    velarix_agent_runtime_free(runtime_);
  }

  AgentHarness harness_;
  RuntimePtr* runtime_ = nullptr;
  AgentConfigPtr* config_ = nullptr;
  AgentPtr* agent_ = nullptr;
};

TEST(CStatusArguments, NullHandlesGiveNoText) {
  RuntimePtr* runtime = nullptr;
  ASSERT_EQ(velarix_agent_runtime(&runtime), 0);
  EXPECT_EQ(velarix_agent_status(nullptr, nullptr), nullptr);
  EXPECT_EQ(velarix_agent_status(runtime, nullptr), nullptr);
  velarix_agent_status_free(nullptr);
  velarix_agent_runtime_free(runtime);
}

TEST(CStatusArguments, TextWithNulIsReplacedWhole) {
  EXPECT_EQ(take(velarix::ffi::status_c_string(std::string_view("Info:\n\0rest", 11))), "Status generation failed");
  EXPECT_EQ(take(velarix::ffi::status_c_string("Info:\n")), "Info:\n");
  EXPECT_EQ(take(velarix::ffi::status_c_string("")), "");
}

TEST_F(CStatus, ReportOfARunningAgentEachCallItsOwnText) {
  EXPECT_EQ(velarix_agent_status(nullptr, agent_), nullptr);
  char* first = velarix_agent_status(runtime_, agent_);
  char* second = velarix_agent_status(runtime_, agent_);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  const std::string text = take(first);
  take(second);
  EXPECT_TRUE(text.starts_with("Info:\n  Version: ")) << text;
  EXPECT_NE(text.find("\n  Agent Status: CONNECTED\n"), std::string::npos);
  EXPECT_NE(text.find("\n    Secret Key: ****\n"), std::string::npos);
  EXPECT_TRUE(text.ends_with("\nNetworks:\n")) << text;
}

TEST_F(CStatus, NulInANetworkNameIsEscaped) {
  auto& rt = runtime_->runtime;
  velarix::p2p::util::block_on(rt, [](std::shared_ptr<velarix::agent::AgentInner> inner) -> asio::awaitable<void> {
    auto guard = co_await inner->state_lock.write();
    auto url = *velarix::agent::Url::parse("http://127.0.0.1:9/n.toml");
    auto& net = inner->state.config.network[url];
    net.config_url = url.as_str();
    net.name = std::string("a\0b", 3);
  }(agent_->agent.inner()));
  const auto text = take(velarix_agent_status(runtime_, agent_));
  EXPECT_NE(text.find("\n    Name: a\\0b\n"), std::string::npos) << text;
}

TEST_F(CStatus, RefusedOnARuntimeThread) {
  // As from inside the network-change callback: the call would wait on the pool it runs on.
  auto* text = velarix::p2p::util::block_on(
      runtime_->runtime, [](const RuntimePtr* runtime, const AgentPtr* agent) -> asio::awaitable<char*> {
        co_return velarix_agent_status(runtime, agent);
      }(runtime_, agent_));
  EXPECT_EQ(text, nullptr);
  EXPECT_NE(take(velarix_agent_status(runtime_, agent_)), "");
}

TEST_F(CStatus, ShutDownAgentReportsDisconnected) {
  velarix_agent_shutdown(runtime_, agent_);
  const auto text = take(velarix_agent_status(runtime_, agent_));
  EXPECT_NE(text.find("\n  Agent Status: DISCONNECTED\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nSuper Peers:\n  Information only available when agent is UP\n"), std::string::npos);
}

TEST_F(CStatus, WaitsForAStepHoldingTheStateThenAnswers) {
  HeldState step(runtime_->runtime, agent_->agent.inner());
  ASSERT_TRUE(eventually([&] { return step.locked(); }));
  auto pending = std::async(std::launch::async, [&] { return take(velarix_agent_status(runtime_, agent_)); });
  ASSERT_TRUE(eventually([&] { return agent_->agent.inner()->state_lock.waiting() >= 1; }));
  EXPECT_EQ(pending.wait_for(0s), std::future_status::timeout) << "answered while the state was held";
  step.release();
  ASSERT_EQ(pending.wait_for(10s), std::future_status::ready) << "no answer after the state was released";
  EXPECT_TRUE(pending.get().starts_with("Info:\n"));
}

TEST_F(CStatus, WaitsForAtMostOneStep) {
  auto& lock = agent_->agent.inner()->state_lock;
  HeldState first(runtime_->runtime, agent_->agent.inner());
  ASSERT_TRUE(eventually([&] { return first.locked(); }));
  // The agent's own start-up step may queue for the lock too; once it has, it
  // waits behind `first` and asks for nothing else, so the count settles.
  std::size_t before = lock.waiting();
  for (int quiet = 0; quiet < 20; ++quiet) {
    std::this_thread::sleep_for(10ms);
    if (const auto now = lock.waiting(); now != before) {
      before = now;
      quiet = 0;
    }
  }
  auto pending = std::async(std::launch::async, [&] { return take(velarix_agent_status(runtime_, agent_)); });
  ASSERT_TRUE(eventually([&] { return lock.waiting() >= before + 1; }));
  // The next step queues behind the status request.
  HeldState second(runtime_->runtime, agent_->agent.inner());
  ASSERT_TRUE(eventually([&] { return lock.waiting() >= before + 2; }));
  first.release();
  ASSERT_TRUE(eventually([&] { return second.locked(); }));
  EXPECT_EQ(pending.wait_for(10s), std::future_status::ready) << "the status waited for the second step too";
  second.release();
  EXPECT_TRUE(pending.get().starts_with("Info:\n"));
}

}  // namespace
