// Test support: each test runs in a fresh working directory of its own, with
// the shared connection emptied, so that inventory.db starts new.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "commands.h"
#include "database.h"
#include "json.h"

namespace testing_support {

// Makes a new empty directory and changes into it; changes back and removes
// it when destroyed.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

// Empties the shared connection's slot and clears its poisoned flag.
void reset_shared_connection();

// The connection in the shared slot (fails the test when it is empty). Tests
// are single-threaded; this does not take the lock.
db::Connection& shared_connection();

// Runs SQL (one or more statements) on a file through a plain connection of
// its own, outside DB_CONNECTION: for building fixture files before
// init_database and for looking at a file afterwards. Fails the test on error.
void run_sql_on_file(std::string_view sql, const std::string& path = db::kDatabaseFile);

// The statement's remaining rows as objects keyed by column name, values as stored.
Json read_all(db::Statement& s);

// Adds `count` simple products (codes P000000, P000001, ...) in one
// transaction on the shared connection.
Result<Unit> add_products(int count);

// A fresh directory with a new, initialised inventory.db.
class DbTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  ScratchDir* dir = nullptr;
};

// A fresh directory with the slot emptied and no inventory.db yet: for tests
// that build their own file first or look at init_database itself.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  ScratchDir* dir = nullptr;
};

// DbTest plus the plumbing of the command tests: calls through the
// dispatcher, raw SQL on the shared connection, the operation log and the
// broken states of the shared connection.
class CommandTest : public DbTest {
 public:
  // A call and the one error text it must answer.
  struct FailureCase {
    std::string cmd;
    Json args;
    std::string error;
    friend std::ostream& operator<<(std::ostream& os, const FailureCase& c) {
      return os << c.cmd << " " << json::write(c.args);
    }
  };

 protected:
  // The built-in admin account's own full name.
  static constexpr const char* kAdminRealName = "系统管理员";

  // The full name calls send unless they name one: kAdminRealName for every new
  // test. A fixture may set another in its constructor, so that its log checks
  // see whether a command wrote the caller's name or the account's.
  static inline std::string caller_real_name;
  CommandTest() { caller_real_name = kAdminRealName; }

  // A call as `user` ("admin" holds every key; a name without an account holds none).
  static Result<Json> call(std::string_view cmd, const Json& args, const std::string& user = "admin",
                           const std::string& real_name = caller_real_name);

  // The data of a call that must succeed (null if it failed).
  static Json ok(std::string_view cmd, const Json& args, const std::string& user = "admin");

  // The error text of a call that must fail ("" if it succeeded).
  static std::string error(std::string_view cmd, const Json& args, const std::string& user = "admin");

  // Runs SQL without parameters on the shared connection.
  static void exec(const std::string& sql);

  // Every row of a query as objects keyed by column name, values as stored.
  template <class... A>
  static Json rows(const std::string& sql, const A&... params) {
    auto r = db::with_connection<Json>(db::kPlainTexts, [&](db::Connection& c) -> Result<Json> {
      db::Statement s = c.prepare(sql);
      s.bind(params...);
      return read_all(s);
    });
    EXPECT_TRUE(r.ok()) << sql << ": " << r.error();
    return r.ok() ? *r : Json::array();
  }

  // The first column of the first row as stored ("no row" if there is none).
  static Json scalar(const std::string& sql);

  // The rows of `table`, which may carry a WHERE clause (-1 if the query failed).
  static int64_t count_rows(const std::string& table);

  // Every operation-log entry, oldest first, as [username, real_name, action, module, detail].
  static Json log_entries();

  // Marks the shared connection poisoned, as a task that failed while holding it would.
  static void poison_connection();

  // Empties the shared connection's slot, leaving the poisoned flag as it is.
  static void close_connection();
};

}  // namespace testing_support
