// Shared by the users-and-rights tests: a fresh database per test with one
// seeded "employee" account ("clerk") beside the built-in "admin", calls
// through the dispatcher, and raw SQL on the shared connection.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "commands.h"
#include "database.h"
#include "json.h"
#include "server.h"
#include "support/test_db.h"

namespace users_testing {

inline constexpr const char* kPoisoned = "poisoned lock: another task failed inside";

class UsersTest : public testing_support::DbTest {
 protected:
  void SetUp() override {
    DbTest::SetUp();
    clerk_id = add_account("clerk", "employee");
  }

  static Result<Json> call(std::string_view cmd, const Json& args = Json::object(), const std::string& user = "admin",
                           const std::string& real_name = "系统管理员") {
    return dispatch_command(cmd, args, user, real_name);
  }

  // The data of a call that must succeed.
  static Json ok(std::string_view cmd, const Json& args = Json::object(), const std::string& user = "admin") {
    auto r = call(cmd, args, user);
    EXPECT_TRUE(r.ok()) << cmd << ": " << r.error();
    return r.ok() ? *r : Json();
  }

  // The error text of a call that must fail.
  static std::string error(std::string_view cmd, const Json& args = Json::object(), const std::string& user = "admin") {
    auto r = call(cmd, args, user);
    EXPECT_FALSE(r.ok()) << cmd << " succeeded: " << json::write(*r);
    return r.ok() ? std::string() : r.error();
  }

  // Runs SQL without parameters on the shared connection.
  static void exec(const std::string& sql) {
    auto r = db::with_connection<Unit>(db::kPlainTexts, [&](db::Connection& c) -> Result<Unit> {
      c.exec(sql);
      return Unit{};
    });
    ASSERT_TRUE(r.ok()) << sql << ": " << r.error();
  }

  // Every row of a query as objects keyed by column name, values as stored.
  template <class... A>
  static Json rows(const std::string& sql, const A&... params) {
    auto r = db::with_connection<Json>(db::kPlainTexts, [&](db::Connection& c) -> Result<Json> {
      db::Statement s = c.prepare(sql);
      s.bind(params...);
      Json out = Json::array();
      while (s.step()) {
        Json row = Json::object();
        for (int i = 0; i < s.column_count(); ++i) row[s.column_name(i)] = s.value(i);
        out.push_back(row);
      }
      return out;
    });
    EXPECT_TRUE(r.ok()) << sql << ": " << r.error();
    return r.ok() ? *r : Json::array();
  }

  // Inserts an account directly; returns its id.
  static std::string add_account(const std::string& username, const std::string& role,
                                 const std::string& password = "pw",
                                 const std::string& created_at = "2024-01-01 08:00:00") {
    const std::string id = db::new_record_id();
    auto r = db::with_connection<Unit>(db::kPlainTexts, [&](db::Connection& c) -> Result<Unit> {
      c.execute("INSERT INTO users (id, username, password, real_name, role, created_at) VALUES (?1,?2,?3,?4,?5,?6)",
                id, username, password, username + " 姓名", role, created_at);
      return Unit{};
    });
    EXPECT_TRUE(r.ok()) << r.error();
    return id;
  }

  // The operation log as (username, real_name, action, module, detail) rows, oldest first.
  static Json log_entries() {
    return rows("SELECT username, real_name, action, module, detail FROM operation_logs ORDER BY rowid");
  }

  static void poison_connection() {
    db::SharedConnection& shared = db::db_connection();
    std::lock_guard lock(shared.mutex);
    shared.poisoned = true;
  }

  static void close_connection() {
    db::SharedConnection& shared = db::db_connection();
    std::lock_guard lock(shared.mutex);
    shared.slot.reset();
  }

  std::string clerk_id;
};

}  // namespace users_testing
