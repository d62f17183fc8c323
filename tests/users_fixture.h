// Shared by the users-and-rights tests: the command-test fixture with one
// seeded "employee" account ("clerk") beside the built-in "admin".
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "database.h"
#include "json.h"
#include "server.h"
#include "support/test_db.h"

namespace users_testing {

inline constexpr const char* kPoisoned = "poisoned lock: another task failed inside";

class UsersTest : public testing_support::CommandTest {
 protected:
  void SetUp() override {
    CommandTest::SetUp();
    clerk_id = add_account("clerk", "employee");
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

  std::string clerk_id;
};

}  // namespace users_testing
