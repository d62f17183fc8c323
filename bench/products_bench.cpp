// How long the server takes to answer "get_products" on a file of 10,000
// products, beside the sqlite3 command-line program writing the same rows as
// JSON. Both are timed from the request (or the start of the program) to the
// last byte of the answer; each figure is the best of several runs.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>

#include "blackbox/server_process.h"
#include "database.h"
#include "support/test_db.h"
#include "json.h"
#include "products.h"

namespace {

constexpr int kProducts = 10000;
constexpr int kRuns = 9;

// A new inventory.db in `dir` with kProducts products, closed again.
void fill(const std::filesystem::path& dir) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  auto init = db::init_database();
  if (!init) throw std::runtime_error("init_database: " + init.error());
  auto filled = db::with_connection<Unit>(db::kPlainTexts, [](db::Connection& c) -> Result<Unit> {
    c.exec("BEGIN");
    for (int i = 0; i < kProducts; ++i) {
      const std::string n = std::to_string(i);
      char created[32];
      std::snprintf(created, sizeof created, "2024-%02d-%02d %02d:%02d:%02d", 1 + i % 12, 1 + i % 28, i % 24,
                    i / 60 % 60, i % 60);
      c.execute("INSERT INTO products (id, name, code, category, unit, unit2, price, cost, stock, stock_unit2, "
                "batch_no, production_date, expiry_date, brand, model, package_type, description, image_path, "
                "warehouse_id, location_id, barcode, trace_code, status, category_id, unit_rate, created_at) "
                "VALUES (?1, ?2, ?3, '五金', '个', '箱', ?4, ?5, ?6, 0, 'B2024', '2024-01-01', '2026-01-01', "
                "'牌子', 'M6', '盒', '不锈钢螺丝，适用于户外', '', 'w1', 'l1', ?7, '', 'active', 'c1', 12, ?8)",
                db::new_record_id(), "螺丝 " + n, "P" + n, 2.5 + i % 100, 1.25 + i % 50, double(i % 1000),
                "690" + n, std::string(created));
    }
    c.exec("COMMIT");
    return Unit{};
  });
  if (!filled) throw std::runtime_error("fill: " + filled.error());
  testing_support::reset_shared_connection();  // closes the file for the server
  std::filesystem::current_path(previous);
}

// The wall time of one call of `run`, in milliseconds.
double elapsed_ms(const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  return took.count();
}

size_t rows_in(const std::string& text, const Json* (*pick)(const Json&)) {
  auto parsed = json::parse(text);
  if (!std::holds_alternative<Json>(parsed)) return 0;
  const Json* rows = pick(std::get<Json>(parsed));
  return rows && rows->is_array() ? rows->size() : 0;
}

// Everything the command writes to its standard output.
std::string output_of(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

// Fills `dir`, starts the server on it and compares; the exit status.
int compare(const std::filesystem::path& dir) {
  fill(dir);
  blackbox::ServerOptions options;
  options.directory = dir;
  blackbox::ServerProcess server(options);
  blackbox::HttpClient client(server.port());
  std::string answer = client.rpc("get_products");  // warms the file cache and the statement cache
  const size_t listed = rows_in(answer, [](const Json& j) { return j.contains("data") ? &j["data"] : nullptr; });
  if (listed != kProducts) {
    std::cerr << "get_products answered " << listed << " products: " << answer.substr(0, 200) << "\n";
    return 1;
  }
  auto ask_server = [&] { answer = client.rpc("get_products"); };

  const bool have_cli = std::system("command -v sqlite3 >/dev/null 2>&1") == 0;
  const std::string command = "sqlite3 -json '" + (dir / db::kDatabaseFile).string() + "' 'SELECT " +
                              std::string(kProductColumns) + " FROM products ORDER BY created_at DESC'";
  std::string rows;
  auto run_cli = [&] { rows = output_of(command); };
  if (have_cli) {
    run_cli();
    const size_t written = rows_in(rows, [](const Json& j) { return &j; });
    if (written != kProducts) {
      std::cerr << "sqlite3 wrote " << written << " rows\n";
      return 1;
    }
  }

  // The two take turns, so that a busy machine slows both alike.
  double server_ms = 1e300, cli_ms = 1e300;
  for (int i = 0; i < kRuns; ++i) {
    server_ms = std::min(server_ms, elapsed_ms(ask_server));
    if (have_cli) cli_ms = std::min(cli_ms, elapsed_ms(run_cli));
  }
  std::printf("get_products, %d products, server over HTTP: %.2f ms\n", kProducts, server_ms);
  if (!have_cli) {
    std::printf("sqlite3 command-line program not found: comparison skipped\n");
  } else {
    std::printf("same rows as JSON, sqlite3 -json:      %.2f ms\n", cli_ms);
    std::printf("ratio server / sqlite3:                %.2f (goal: at most 1.00)\n", server_ms / cli_ms);
  }
  return 0;
}

}  // namespace

int main() {
  const auto dir = std::filesystem::temp_directory_path() / ("products-bench-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const int status = compare(dir);
  std::filesystem::remove_all(dir);
  return status;
}
