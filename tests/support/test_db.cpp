#include "support/test_db.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace testing_support {

ScratchDir::ScratchDir() : previous_(std::filesystem::current_path()) {
  static std::atomic<int> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          ("inventory-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
  std::filesystem::current_path(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::current_path(previous_, ec);
  std::filesystem::remove_all(path_, ec);
}

void reset_shared_connection() {
  db::SharedConnection& shared = db::db_connection();
  std::lock_guard lock(shared.mutex);
  shared.slot.reset();
  shared.poisoned = false;
}

db::Connection& shared_connection() {
  db::SharedConnection& shared = db::db_connection();
  if (!shared.slot) {
    ADD_FAILURE() << "the shared connection slot is empty";
    throw std::runtime_error("the shared connection slot is empty");
  }
  return *shared.slot;
}

void run_sql_on_file(std::string_view sql, const std::string& path) {
  sqlite3* handle = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(handle, 5000);
    char* message = nullptr;
    rc = sqlite3_exec(handle, std::string(sql).c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) ADD_FAILURE() << "SQL failed: " << (message ? message : "?") << "\n" << sql;
    sqlite3_free(message);
  } else {
    ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errstr(rc);
  }
  sqlite3_close_v2(handle);
}

void DbTest::SetUp() {
  reset_shared_connection();
  dir = new ScratchDir();
  auto r = db::init_database();
  ASSERT_TRUE(r.ok()) << r.error();
}

void DbTest::TearDown() {
  reset_shared_connection();
  delete dir;
  dir = nullptr;
}

void ScratchTest::SetUp() {
  reset_shared_connection();
  dir = new ScratchDir();
}

void ScratchTest::TearDown() {
  reset_shared_connection();
  delete dir;
  dir = nullptr;
}

Result<Json> CommandTest::call(std::string_view cmd, const Json& args, const std::string& user,
                               const std::string& real_name) {
  return dispatch_command(cmd, args, user, real_name);
}

Json CommandTest::ok(std::string_view cmd, const Json& args, const std::string& user) {
  auto r = call(cmd, args, user);
  EXPECT_TRUE(r.ok()) << cmd << ": " << r.error();
  return r.ok() ? *r : Json();
}

std::string CommandTest::error(std::string_view cmd, const Json& args, const std::string& user) {
  auto r = call(cmd, args, user);
  EXPECT_FALSE(r.ok()) << cmd << " succeeded: " << json::write(*r);
  return r.ok() ? std::string() : r.error();
}

void CommandTest::exec(const std::string& sql) {
  auto r = db::with_connection<Unit>(db::kPlainTexts, [&](db::Connection& c) -> Result<Unit> {
    c.exec(sql);
    return Unit{};
  });
  ASSERT_TRUE(r.ok()) << sql << ": " << r.error();
}

Json CommandTest::scalar(const std::string& sql) {
  auto r = db::with_connection<Json>(db::kPlainTexts, [&](db::Connection& c) -> Result<Json> {
    db::Statement s = c.prepare(sql);
    return s.step() ? s.value(0) : Json("no row");
  });
  EXPECT_TRUE(r.ok()) << sql << ": " << r.error();
  return r.ok() ? *r : Json();
}

int64_t CommandTest::count_rows(const std::string& table) {
  const Json n = scalar("SELECT COUNT(*) FROM " + table);
  return n.is_number_integer() ? n.get<int64_t>() : -1;
}

Json CommandTest::log_entries() {
  Json out = Json::array();
  for (const Json& r : rows("SELECT username, real_name, action, module, detail FROM operation_logs ORDER BY rowid"))
    out.push_back(Json::array({r["username"], r["real_name"], r["action"], r["module"], r["detail"]}));
  return out;
}

void CommandTest::poison_connection() {
  db::SharedConnection& shared = db::db_connection();
  std::lock_guard lock(shared.mutex);
  shared.poisoned = true;
}

void CommandTest::close_connection() {
  db::SharedConnection& shared = db::db_connection();
  std::lock_guard lock(shared.mutex);
  shared.slot.reset();
}

Json read_all(db::Statement& s) {
  Json out = Json::array();
  while (s.step()) {
    Json row = Json::object();
    for (int i = 0; i < s.column_count(); ++i) row[s.column_name(i)] = s.value(i);
    out.push_back(std::move(row));
  }
  return out;
}

Result<Unit> add_products(int count) {
  return db::with_connection<Unit>(db::kPlainTexts, [&](db::Connection& c) {
    return db::in_transaction<Unit>(c, [&](db::Connection& t) -> Result<Unit> {
      const std::string now = db::local_timestamp();
      char code[16];
      for (int i = 0; i < count; ++i) {
        std::snprintf(code, sizeof code, "P%06d", i);
        t.execute(
            "INSERT INTO products (id, name, code, category, unit, price, cost, stock, created_at) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
            db::new_record_id(), std::string("商品") + code, code, "五金", "个", 12.5, 8.0, 100.0, now);
      }
      return Unit{};
    });
  });
}

}  // namespace testing_support
