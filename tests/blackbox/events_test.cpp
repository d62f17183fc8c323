// Change events on /events, and that commands waiting for the database hold
// up nothing else.
#include <sqlite3.h>

#include <future>

#include <gtest/gtest.h>

#include "blackbox/server_process.h"

namespace {

using blackbox::EventClient;
using blackbox::HttpClient;
using blackbox::ServerProcess;
using namespace std::chrono_literals;

const std::string kLogArgs =
    R"({"request":{"username":"u","real_name":"r","action":"测试","module":"测试","detail":"d"}})";

TEST(Events, OneEventPerSuccessfulListedCommand) {
  ServerProcess server;
  EventClient early(server.port());
  EXPECT_EQ(early.status(), 200);
  EXPECT_EQ(early.headers().at("content-type"), "text/event-stream");
  EXPECT_EQ(early.headers().at("cache-control"), "no-cache");

  HttpClient client(server.port());
  EXPECT_NE(client.rpc("add_operation_log", kLogArgs).find("\"ok\":true"), std::string::npos);
  EXPECT_EQ(early.next(5s), "add_operation_log");

  // Failed listed commands, unlisted successes and other letter case: nothing.
  EXPECT_NE(client.rpc("add_operation_log", "{}").find("\"ok\":false"), std::string::npos);
  EXPECT_NE(client.rpc("get_operation_logs").find("\"ok\":true"), std::string::npos);
  EXPECT_NE(client.rpc("Add_Operation_Log", kLogArgs).find("Unknown command"), std::string::npos);
  EXPECT_EQ(early.next(300ms), std::nullopt);

  // A late subscriber sees only what comes after it.
  EventClient late(server.port());
  EXPECT_NE(client.rpc("set_system_config", R"({"request":{"config_key":"k","config_value":"v"}})")
                .find("\"ok\":true"),
            std::string::npos);
  EXPECT_EQ(early.next(5s), "set_system_config");
  EXPECT_EQ(late.next(5s), "set_system_config");
}

TEST(Events, KeepAliveAfterFifteenQuietSeconds) {
  ServerProcess server;
  EventClient subscriber(server.port());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(subscriber.next(20s), ":");
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GT(waited, 14s);
  EXPECT_LT(waited, 17s);
}

TEST(Events, BlockedCommandsHoldUpNothingElse) {
  ServerProcess server;
  // Another program holds the database's write lock for a while.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((server.directory() / "inventory.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

  std::vector<std::future<std::string>> writers;
  for (int i = 0; i < 12; ++i)
    writers.push_back(std::async(std::launch::async, [&] {
      HttpClient c(server.port());
      return c.rpc("add_operation_log", kLogArgs);
    }));
  std::this_thread::sleep_for(200ms);

  HttpClient other(server.port());
  for (int i = 0; i < 5; ++i) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(other.post("/ping", "").status, 200);
    EXPECT_EQ(other.rpc("ping"), R"({"ok":true,"data":{"ok":true}})");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  }
  EventClient subscriber(server.port());
  EXPECT_EQ(subscriber.status(), 200);

  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  int answered = 0;
  for (auto& w : writers) {
    EXPECT_EQ(w.wait_for(30s), std::future_status::ready);
    if (w.get().find("\"ok\"") != std::string::npos) ++answered;
  }
  EXPECT_EQ(answered, 12);
}

}  // namespace
