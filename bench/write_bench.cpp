// Write throughput of one command through the whole stack against the
// engine's own limit, measured in the same run on the same disk:
//   - "add_operation_log" sent by 8 clients at once, each on its own
//     keep-alive connection, to the real server started in a new directory;
//   - the same INSERT, with the same freshly made id and time stamp, committed
//     one transaction at a time on one open connection to a new database file
//     beside the server's.
// Prints both rates and their ratio (the goal is at least 0.7). Failed calls
// make it exit with 1; a ratio below the goal is only reported.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "blackbox/server_process.h"
#include "database.h"
#include "support/test_db.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kClients = 8;
constexpr auto kRunTime = std::chrono::seconds(3);
constexpr long kMaxCalls = 2'000'000;  // per phase, a bound besides the time

constexpr const char* kInsertLog =
    "INSERT INTO operation_logs (id, username, real_name, action, module, detail, created_at) "
    "VALUES (?1,?2,?3,?4,?5,?6,?7)";
const std::string kArgs =
    R"({"request":{"username":"bench","real_name":"压测","action":"记录","module":"性能","detail":"一次写入"}})";

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Rate {
  long calls = 0;
  long failures = 0;
  double seconds = 0;
  double per_second() const { return calls / seconds; }
};

Rate through_server(uint16_t port) {
  std::atomic<long> calls{0}, failures{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  const auto start = Clock::now();
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      blackbox::HttpClient client(port);
      while (!stop.load(std::memory_order_relaxed)) {
        const std::string reply = client.rpc("add_operation_log", kArgs);
        if (reply.find("\"ok\":true") == std::string::npos) ++failures;
        if (++calls >= kMaxCalls) stop = true;
      }
    });
  }
  while (!stop && Clock::now() - start < kRunTime) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  for (std::thread& t : clients) t.join();
  return Rate{calls.load(), failures.load(), seconds_since(start)};
}

Rate engine_alone(const fs::path& dir) {
  fs::create_directories(dir);
  fs::current_path(dir);
  if (auto r = db::init_database(); !r) {  // the server's schema and settings (write-ahead log)
    std::fprintf(stderr, "init_database: %s\n", r.error().c_str());
    return Rate{0, 1, 1};
  }
  auto c = db::Connection::open(db::kDatabaseFile);
  Rate rate;
  const auto start = Clock::now();
  while (rate.calls < kMaxCalls && Clock::now() - start < kRunTime) {
    for (int i = 0; i < 100; ++i, ++rate.calls)
      c->execute(kInsertLog, db::new_record_id(), "bench", "压测", "记录", "性能", "一次写入", db::local_timestamp());
  }
  rate.seconds = seconds_since(start);
  return rate;
}

}  // namespace

int main() {
  const fs::path scratch = fs::temp_directory_path() / ("inventory-write-bench-" + std::to_string(::getpid()));
  // The engine is measured before and after the server, each time on a new
  // file, and the mean is taken, so that a drift of the disk's speed during
  // the run does not favour either side.
  const Rate engine_before = engine_alone(scratch / "before");
  Rate server_rate;
  {
    blackbox::ServerProcess server;
    blackbox::HttpClient warm(server.port());
    for (int i = 0; i < 200; ++i) warm.rpc("add_operation_log", kArgs);
    server_rate = through_server(server.port());
  }
  const Rate engine_after = engine_alone(scratch / "after");
  fs::current_path(fs::temp_directory_path());
  testing_support::reset_shared_connection();
  fs::remove_all(scratch);

  const double engine = (engine_before.per_second() + engine_after.per_second()) / 2;
  const double ratio = server_rate.per_second() / engine;
  std::printf("add_operation_log through /rpc, %d clients: %ld calls in %.2f s = %.0f calls/s (%ld failed)\n",
              kClients, server_rate.calls, server_rate.seconds, server_rate.per_second(), server_rate.failures);
  std::printf("engine alone, same INSERT, one transaction each: %.0f commits/s before, %.0f after, mean %.0f\n",
              engine_before.per_second(), engine_after.per_second(), engine);
  std::printf("ratio: %.2f (goal: at least 0.70)%s\n", ratio, ratio >= 0.7 ? "" : "  BELOW GOAL");
  const bool failed = server_rate.failures || engine_before.failures || engine_after.failures;
  return failed ? 1 : 0;
}
