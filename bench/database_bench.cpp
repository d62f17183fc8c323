// Benchmarks of the database core:
//   - init_database on a new file (the database part of the time from start
//     to listening on a new installation);
//   - init_database on an existing file holding 100,000 products (the same
//     at an ordinary restart);
//   - one borrow of the shared connection (with_connection) running one
//     SELECT whose statement comes from the statement cache.
// The lead measures the time to listening of the whole executable separately.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "database.h"
#include "support/test_db.h"

namespace {

namespace fs = std::filesystem;

void empty_slot() {
  db::SharedConnection& shared = db::db_connection();
  std::lock_guard lock(shared.mutex);
  shared.slot.reset();
}

void remove_database_files() {
  for (const char* f : {"inventory.db", "inventory.db-wal", "inventory.db-shm"}) fs::remove(f);
}

// All benchmark files live under one temporary directory, removed at the end.
fs::path& bench_root() {
  static fs::path root;
  return root;
}

// Makes (if needed) and enters one subdirectory of the root.
void enter(const std::string& name) {
  fs::path dir = bench_root() / name;
  fs::create_directories(dir);
  fs::current_path(dir);
}

bool init_or_skip(benchmark::State& state) {
  auto r = db::init_database();
  if (!r) {
    state.SkipWithError(r.error().c_str());
    return false;
  }
  return true;
}

void BM_InitDatabaseNewFile(benchmark::State& state) {
  enter("new");
  for (auto _ : state) {
    state.PauseTiming();
    empty_slot();
    remove_database_files();
    state.ResumeTiming();
    if (!init_or_skip(state)) break;
  }
}
BENCHMARK(BM_InitDatabaseNewFile)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr int kProducts = 100000;

// Fills products with kProducts rows, in one transaction.
bool fill_products(benchmark::State& state) {
  auto r = testing_support::add_products(kProducts);
  if (!r) state.SkipWithError(r.error().c_str());
  return r.ok();
}

// Enters the directory of the file with kProducts products (made on first
// use) and initialises it, so that the slot holds a connection to it.
bool open_existing_file(benchmark::State& state) {
  static bool filled = false;
  enter("existing");
  empty_slot();
  if (!filled) {
    remove_database_files();
    if (!init_or_skip(state) || !fill_products(state)) return false;
    filled = true;
    return true;
  }
  return init_or_skip(state);
}

void BM_InitDatabaseExistingFile100kProducts(benchmark::State& state) {
  if (!open_existing_file(state)) return;
  for (auto _ : state) {
    state.PauseTiming();
    empty_slot();  // a start finds the slot empty
    state.ResumeTiming();
    if (!init_or_skip(state)) break;
  }
  state.counters["products"] = kProducts;
}
BENCHMARK(BM_InitDatabaseExistingFile100kProducts)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BorrowWithCachedSelect(benchmark::State& state) {
  if (!open_existing_file(state)) return;
  std::string id;
  {
    auto r = db::with_connection<std::string>(db::kPlainTexts, [](db::Connection& c) -> Result<std::string> {
      return c.query_text("SELECT id FROM products WHERE code = 'P050000'");
    });
    if (!r) {
      state.SkipWithError(r.error().c_str());
      return;
    }
    id = *r;
  }
  double sum = 0;
  for (auto _ : state) {
    auto r = db::with_connection<double>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<double> {
      db::Statement s = c.prepare("SELECT stock FROM products WHERE id = ?1");
      s.bind(id);
      if (!s.step()) throw db::DbError("Query returned no rows");
      return s.real(0);
    });
    sum += *r;
  }
  benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_BorrowWithCachedSelect)->Unit(benchmark::kNanosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const fs::path previous = fs::current_path();
  bench_root() = fs::temp_directory_path() / ("inventory-bench-" + std::to_string(::getpid()));
  fs::remove_all(bench_root());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  empty_slot();
  fs::current_path(previous);
  std::error_code ec;
  fs::remove_all(bench_root(), ec);
  return 0;
}
