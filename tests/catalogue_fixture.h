// Shared by the category, package and document tests: a fresh database per
// test, calls through the dispatcher, raw SQL on the shared connection, the
// operation log, and the two broken states of the shared connection.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "commands.h"
#include "database.h"
#include "json.h"
#include "support/test_db.h"

namespace catalogue_testing {

class CatalogueTest : public testing_support::DbTest {
 protected:
  // A call as the given user ("admin" holds products_edit; "nobody" has no account).
  static Result<Json> call(std::string_view cmd, const Json& args, const std::string& user = "admin") {
    return dispatch_command(cmd, args, user, "管理员");
  }

  // The data of a call that must succeed.
  static Json ok(std::string_view cmd, const Json& args) {
    auto r = call(cmd, args);
    EXPECT_TRUE(r.ok()) << cmd << ": " << r.error();
    return r.ok() ? *r : Json();
  }

  // The error text of a call that must fail.
  static std::string error(std::string_view cmd, const Json& args, const std::string& user = "admin") {
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

  // The first column of the first row as stored, by its storage type.
  static Json scalar(const std::string& sql) {
    auto r = db::with_connection<Json>(db::kPlainTexts, [&](db::Connection& c) -> Result<Json> {
      db::Statement s = c.prepare(sql);
      return s.step() ? s.value(0) : Json("no row");
    });
    EXPECT_TRUE(r.ok()) << sql << ": " << r.error();
    return r.ok() ? *r : Json();
  }

  static int64_t count(const std::string& table) {
    return scalar("SELECT COUNT(*) FROM " + table).get<int64_t>();
  }

  // Every operation-log entry, oldest first, as [user, full name, action, module, detail].
  static Json log_entries() {
    auto r = db::with_connection<Json>(db::kPlainTexts, [&](db::Connection& c) -> Result<Json> {
      db::Statement s =
          c.prepare("SELECT username, real_name, action, module, detail FROM operation_logs ORDER BY rowid");
      Json rows = Json::array();
      while (s.step()) rows.push_back({s.text(0), s.text(1), s.text(2), s.text(3), s.text(4)});
      return rows;
    });
    EXPECT_TRUE(r.ok()) << r.error();
    return r.ok() ? *r : Json();
  }

  static void poison_connection() {
    db::SharedConnection& shared = db::db_connection();
    std::lock_guard lock(shared.mutex);
    shared.poisoned = true;
  }
};

// A call and the one error text it must answer.
struct FailureCase {
  std::string cmd;
  Json args;
  std::string error;
};

inline std::ostream& operator<<(std::ostream& os, const FailureCase& c) {
  return os << c.cmd << " " << json::write(c.args);
}

}  // namespace catalogue_testing
