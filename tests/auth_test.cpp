// User accounts and log-in: the six account commands with their console
// lines, denials and log entries; log-in and log-out with the set of
// logged-in names; and what every command of users and rights answers when
// the shared connection is poisoned or not open.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "auth.h"
#include "permission_keys.h"
#include "users_fixture.h"

namespace {

using users_testing::kPoisoned;
using users_testing::UsersTest;

Json add_request(const std::string& username, const std::string& role, const std::string& password = "secret") {
  return {{"request", {{"username", username}, {"password", password}, {"real_name", username + "先生"}, {"role", role}}}};
}

// ---- add_user ---------------------------------------------------------------

TEST_F(UsersTest, AddUserStoresTheAccountAndAnswersWithoutThePassword) {
  testing::internal::CaptureStdout();
  Json user = ok("add_user", add_request("bob", "employee"));
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(console,
            "[AUTH] add_user: operator=admin, new_user=bob, role=employee\n"
            "[AUTH] add_user OK: user bob saved to DB\n");

  Json stored = rows("SELECT id, password, real_name, role, created_at FROM users WHERE username='bob'");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]["password"], "secret");  // plain text: other programs read the file as it is
  const Json expected = {{"id", stored[0]["id"]},         {"username", "bob"},       {"password", ""},
                         {"real_name", "bob先生"},        {"role", "Employee"},      {"permissions", Json::array()},
                         {"created_at", stored[0]["created_at"]}};
  EXPECT_EQ(user, expected);
  EXPECT_EQ(log_entries(), Json::array({{"admin", "系统管理员", "添加", "用户管理", "添加用户: bob (bob先生)"}}));
  EXPECT_TRUE(is_write_command("add_user"));
}

TEST_F(UsersTest, AddUserStoresTheRoleTextAndAnswersItsUserRole) {
  struct Case {
    const char* role;
    const char* answered;
  } cases[] = {{"admin", "Admin"}, {"Admin", "Employee"}, {"employee", "Employee"}, {"仓管", "Employee"}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.role);
    const std::string name = "user" + std::to_string(n++);
    Json user = ok("add_user", add_request(name, c.role));
    EXPECT_EQ(user["role"], c.answered);
    EXPECT_EQ(user["permissions"], Json::array());  // even for "admin"
    EXPECT_EQ(rows("SELECT role FROM users WHERE username=?1", name)[0]["role"], c.role);
  }
}

TEST_F(UsersTest, AddUserRefusals) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(error("add_user", add_request("bob", "admin"), "clerk"), "权限不足：没有新增用户的权限");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[AUTH] add_user: operator=clerk, new_user=bob, role=admin\n"
            "[AUTH] add_user DENIED: no users_edit permission\n");

  EXPECT_EQ(error("add_user", add_request("clerk", "employee", "other")), "用户名已存在");
  EXPECT_EQ(rows("SELECT password FROM users WHERE username='clerk'")[0]["password"], "pw");

  Json no_role = add_request("bob", "x");
  no_role["request"].erase("role");
  EXPECT_EQ(error("add_user", no_role), "missing field `role`");
  EXPECT_EQ(error("add_user", {{"request", {"bob", "pw", "Bob"}}}),
            "invalid length 3, expected struct AddUserRequest with 4 elements");
  EXPECT_EQ(rows("SELECT COUNT(*) AS n FROM users")[0]["n"], 2);  // admin and clerk only
  EXPECT_TRUE(log_entries().empty());

  // The name test is exact: letter case counts.
  ok("add_user", add_request("Clerk", "employee"));
}

TEST_F(UsersTest, SimultaneousAddUserForOneNameCreatesOneAccount) {
  constexpr int kCallers = 10;
  std::atomic<int> ready{0};
  std::vector<Result<Json>> results(kCallers, Result<Json>(Json()));
  std::vector<std::thread> threads;
  for (int i = 0; i < kCallers; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready < kCallers) std::this_thread::yield();
      results[i] = call("add_user", add_request("dup", "employee", "pw" + std::to_string(i)));
    });
  }
  for (std::thread& t : threads) t.join();
  int succeeded = 0;
  for (const auto& r : results) {
    if (r.ok()) ++succeeded;
    else EXPECT_EQ(r.error(), "用户名已存在");
  }
  EXPECT_EQ(succeeded, 1);
  EXPECT_EQ(rows("SELECT COUNT(*) AS n FROM users WHERE username='dup'")[0]["n"], 1);
  EXPECT_EQ(log_entries().size(), 1u);
}

// ---- get_users, get_accounts --------------------------------------------------

TEST_F(UsersTest, GetUsersListsNewestFirstWithoutPasswords) {
  const std::string late = add_account("late", "仓管", "pw", "2030-01-01 00:00:00");
  Json got = ok("get_users", Json::object());
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(json::write(got[0]),
            R"({"created_at":"2030-01-01 00:00:00","id":")" + late +
                R"(","password":"","real_name":"late 姓名","role":"仓管","username":"late"})");
  EXPECT_EQ(got[1]["username"], "admin");  // created now, after clerk's 2024 row
  EXPECT_EQ(got[2]["username"], "clerk");
  for (const Json& u : got) EXPECT_EQ(u["password"], "");
  EXPECT_EQ(error("get_users", Json::object(), "clerk"), "权限不足：没有查看用户的权限");
  EXPECT_FALSE(is_write_command("get_users"));
  EXPECT_TRUE(log_entries().empty());
}

TEST_F(UsersTest, GetAccountsListsByNameWithTheStoredRole) {
  add_account("Zed", "Admin");
  add_account("bob", "仓管");
  EXPECT_EQ(json::write(ok("get_accounts", Json::object(), "nobody")),
            R"([{"real_name":"Zed 姓名","role":"Admin","username":"Zed"},)"
            R"({"real_name":"系统管理员","role":"admin","username":"admin"},)"
            R"({"real_name":"bob 姓名","role":"仓管","username":"bob"},)"
            R"({"real_name":"clerk 姓名","role":"employee","username":"clerk"}])");
  exec("DELETE FROM users");
  EXPECT_EQ(ok("get_accounts", Json::object()), Json::array());
  EXPECT_FALSE(is_write_command("get_accounts"));
}

// ---- delete_user ----------------------------------------------------------------

TEST_F(UsersTest, DeleteUserRemovesTheAccountAndLogsIt) {
  const std::string boss = add_account("boss", "admin");  // role admin, but not the account named "admin"
  EXPECT_EQ(ok("delete_user", {{"userId", boss}}), nullptr);
  EXPECT_TRUE(rows("SELECT id FROM users WHERE id=?1", boss).empty());
  EXPECT_EQ(log_entries(), Json::array({{"admin", "系统管理员", "删除", "用户管理", "删除用户: boss"}}));
  EXPECT_TRUE(is_write_command("delete_user"));
}

TEST_F(UsersTest, DeleteUserRefusals) {
  const std::string admin_id = rows("SELECT id FROM users WHERE username='admin'")[0]["id"];
  exec("UPDATE users SET role='employee' WHERE username='admin'");
  exec("INSERT INTO users VALUES ('b2', 'boss', 'pw', '老板', 'admin', '2024-01-01 00:00:00')");
  struct Case {
    std::string user_id;
    const char* caller;
    const char* error;
  } cases[] = {
      {admin_id, "boss", "不能删除默认管理员账户"},  // protected by its name, whatever its role
      {"no-such-id", "boss", "操作失败：未找到对应的数据记录"},
      {clerk_id, "clerk", "权限不足：没有删除用户的权限"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user_id);
    EXPECT_EQ(error("delete_user", {{"userId", c.user_id}}, c.caller), c.error);
  }
  EXPECT_EQ(rows("SELECT COUNT(*) AS n FROM users")[0]["n"], 3);
  EXPECT_TRUE(log_entries().empty());
}

// ---- change_password, admin_reset_password -------------------------------------

TEST_F(UsersTest, ChangePasswordNeedsTheOldOneOnly) {
  // Any caller, no permission: knowing the old password is the only condition.
  EXPECT_EQ(ok("change_password", {{"userId", clerk_id}, {"oldPassword", "pw"}, {"newPassword", "新密码"}}, "nobody"),
            nullptr);
  EXPECT_EQ(rows("SELECT password FROM users WHERE id=?1", clerk_id)[0]["password"], "新密码");
  EXPECT_EQ(log_entries(), Json::array({{"nobody", "系统管理员", "修改", "用户管理", "修改密码"}}));
  EXPECT_TRUE(is_write_command("change_password"));

  EXPECT_EQ(error("change_password", {{"userId", clerk_id}, {"oldPassword", "pw"}, {"newPassword", "x"}}),
            "原密码错误");
  EXPECT_EQ(error("change_password", {{"userId", "no-such-id"}, {"oldPassword", "pw"}, {"newPassword", "x"}}),
            "操作失败：未找到对应的数据记录");
  EXPECT_EQ(rows("SELECT password FROM users WHERE id=?1", clerk_id)[0]["password"], "新密码");
  EXPECT_EQ(log_entries().size(), 1u);

  // The empty text is a password like any other.
  ok("change_password", {{"userId", clerk_id}, {"oldPassword", "新密码"}});
  EXPECT_EQ(rows("SELECT password FROM users WHERE id=?1", clerk_id)[0]["password"], "");
}

TEST_F(UsersTest, AdminResetPasswordSetsAnyPassword) {
  const std::string admin_id = rows("SELECT id FROM users WHERE username='admin'")[0]["id"];
  EXPECT_EQ(ok("admin_reset_password", {{"targetUserId", admin_id}, {"newPassword", "n1"}}), nullptr);
  EXPECT_EQ(rows("SELECT password FROM users WHERE id=?1", admin_id)[0]["password"], "n1");
  // An unknown id changes nothing and still succeeds, naming nobody in the log.
  EXPECT_EQ(ok("admin_reset_password", {{"targetUserId", "no-such-id"}, {"newPassword", "n2"}}), nullptr);
  // An entry is [username, real_name, action, module, detail].
  EXPECT_EQ(log_entries()[0][4], "重置用户 'admin' 的密码");
  EXPECT_EQ(log_entries()[1][4], "重置用户 '' 的密码");
  EXPECT_EQ(log_entries()[1][2], "重置密码");
  EXPECT_TRUE(is_write_command("admin_reset_password"));

  EXPECT_EQ(error("admin_reset_password", {{"targetUserId", admin_id}, {"newPassword", "n3"}}, "clerk"),
            "权限不足：没有重置用户密码的权限");
  EXPECT_EQ(rows("SELECT password FROM users WHERE id=?1", admin_id)[0]["password"], "n1");
  EXPECT_EQ(log_entries().size(), 2u);
}

// A database failure passes through the friendly texts.
TEST_F(UsersTest, AccountCommandsMapDatabaseFailures) {
  exec("CREATE TRIGGER refuse BEFORE UPDATE ON users BEGIN SELECT RAISE(ABORT, 'disk image is malformed'); END");
  EXPECT_EQ(error("change_password", {{"userId", clerk_id}, {"oldPassword", "pw"}, {"newPassword", "x"}}),
            "系统错误：disk image is malformed");
  exec("DROP TABLE users");
  EXPECT_EQ(error("get_accounts", Json::object()), "系统错误：数据库表不存在，请重新初始化数据库");
}

// ---- login, logout -------------------------------------------------------------

class LoginTest : public UsersTest {
 protected:
  void TearDown() override {
    for (const char* name : {"admin", "clerk", "bob", "guest"}) (void)logout(name);
    UsersTest::TearDown();
  }
  static Json login_as(const std::string& username, const std::string& password) {
    return ok("login", {{"request", {{"username", username}, {"password", password}}}}, "whoever");
  }
};

TEST_F(LoginTest, AnswersTheAccountWithItsRolesKeys) {
  Json got = login_as("admin", "tovel594");
  const Json& user = got["user"];
  EXPECT_EQ(got["success"], true);
  EXPECT_EQ(got["message"], "登录成功");
  EXPECT_EQ(user["username"], "admin");
  EXPECT_EQ(user["real_name"], "系统管理员");
  EXPECT_EQ(user["role"], "Admin");
  EXPECT_EQ(user["password"], "");
  EXPECT_EQ(user["id"], rows("SELECT id FROM users WHERE username='admin'")[0]["id"]);
  std::set<std::string> keys(user["permissions"].begin(), user["permissions"].end());
  std::set<std::string> all;
  for (const PermissionKeyInfo& k : kPermissionKeys) all.insert(std::string(k.key));
  EXPECT_EQ(keys, all);
  EXPECT_EQ(json::write(got).rfind(R"({"message":"登录成功","success":true,"user":{"created_at":")", 0), 0u);

  Json clerk = login_as("clerk", "pw")["user"];
  EXPECT_EQ(clerk["role"], "Employee");
  EXPECT_EQ(clerk["permissions"].size(), 20u);  // the employee's granted keys
  EXPECT_FALSE(is_write_command("login"));
  EXPECT_FALSE(is_write_command("logout"));
  EXPECT_TRUE(log_entries().empty());
}

TEST_F(LoginTest, RoleWithoutGrantedKeysLogsInWithNone) {
  add_account("guest", "访客");
  Json user = login_as("guest", "pw")["user"];
  EXPECT_EQ(user["permissions"], Json::array());
  EXPECT_EQ(user["role"], "Employee");
}

TEST_F(LoginTest, RefusalsAreAnswersAndLeaveTheNameFree) {
  struct Case {
    const char* username;
    const char* password;
    const char* message;
  } cases[] = {{"nobody", "pw", "用户名不存在"}, {"Clerk", "pw", "用户名不存在"}, {"clerk", "PW", "密码错误"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.username);
    Json got = login_as(c.username, c.password);
    EXPECT_EQ(json::write(got), std::string(R"({"message":")") + c.message + R"(","success":false,"user":null})");
  }
  EXPECT_EQ(login_as("clerk", "pw")["success"], true);
}

TEST_F(LoginTest, SecondLogInIsRefusedUntilLogOut) {
  ASSERT_EQ(login_as("clerk", "pw")["success"], true);
  for (const char* password : {"pw", "wrong"}) {
    SCOPED_TRACE(password);
    Json again = login_as("clerk", password);
    EXPECT_EQ(again["success"], false);
    EXPECT_EQ(again["message"], "???????????");
    EXPECT_EQ(again["user"], nullptr);
  }
  // Any caller logs out the name its envelope carries; a name not logged in is no error.
  EXPECT_EQ(ok("logout", {{"ignored", 1}}, "clerk"), nullptr);
  EXPECT_EQ(ok("logout", Json::object(), "clerk"), nullptr);
  EXPECT_EQ(login_as("clerk", "pw")["success"], true);
}

TEST_F(LoginTest, DeletedAccountStaysLoggedIn) {
  const std::string bob = add_account("bob", "employee");
  ASSERT_EQ(login_as("bob", "pw")["success"], true);
  ok("delete_user", {{"userId", bob}});
  add_account("bob", "employee");
  EXPECT_EQ(login_as("bob", "pw")["message"], "???????????");
  ok("logout", Json::object(), "bob");
  EXPECT_EQ(login_as("bob", "pw")["success"], true);
}

// An account row that cannot be read fails the call without recording the
// name, so the account can log in once the row is mended.
TEST_F(LoginTest, UnreadableAccountDoesNotLockTheNameOut) {
  exec("UPDATE users SET created_at=X'00' WHERE username='clerk'");
  EXPECT_EQ(error("login", {{"request", {"clerk", "pw"}}}),
            "系统错误：Invalid column type Blob at index: 5, name: created_at");
  exec("UPDATE users SET created_at='2024-01-01 08:00:00' WHERE username='clerk'");
  EXPECT_EQ(login_as("clerk", "pw")["success"], true);
}

TEST_F(LoginTest, RequestErrors) {
  EXPECT_EQ(error("login", {{"request", {{"username", "clerk"}}}}), "missing field `password`");
  EXPECT_EQ(error("login", {{"request", {"clerk"}}}), "invalid length 1, expected struct LoginRequest with 2 elements");
  EXPECT_EQ(error("login", {{"request", {{"username", "clerk"}, {"password", nullptr}}}}),
            "invalid type: null, expected a string");
}

// ---- every command of users and rights without a usable connection ------------

struct BorrowCase {
  const char* cmd;
  Json args;
  const char* poisoned;  // the error with a poisoned connection; nullptr: succeeds
  const char* closed;    // the error with no open database; nullptr: succeeds
};

const std::string kFriendlyPoisoned = std::string("系统错误：") + kPoisoned;
const std::string kAccessPoisoned = std::string("系统错误：数据库访问失败 - ") + kPoisoned;
constexpr const char* kClosed = "系统错误：数据库未初始化";

std::vector<BorrowCase> borrow_cases() {
  const Json log = {{"request", {"u", "U", "a", "m", "d"}}};
  const Json config = {{"request", {"k", "v", nullptr}}};
  const Json print_config = {{"request", {"default_print_sale", "v", nullptr}}};
  const Json user = {{"request", {"bob", "pw", "Bob", "employee"}}};
  const Json grant = {{"request", {"employee", "logs_view", true}}};
  return {
      {"add_operation_log", log, kAccessPoisoned.c_str(), kClosed},
      {"add_user", user, "权限不足：没有新增用户的权限", "权限不足：没有新增用户的权限"},
      {"admin_reset_password", {{"targetUserId", "x"}}, "权限不足：没有重置用户密码的权限",
       "权限不足：没有重置用户密码的权限"},
      {"change_password", {{"userId", "x"}}, kFriendlyPoisoned.c_str(), kClosed},
      {"clear_operation_logs", {}, "权限不足：没有清除操作日志的权限", "权限不足：没有清除操作日志的权限"},
      {"delete_user", {{"userId", "x"}}, "权限不足：没有删除用户的权限", "权限不足：没有删除用户的权限"},
      {"get_accounts", {}, kFriendlyPoisoned.c_str(), kClosed},
      {"get_all_system_configs", {}, kAccessPoisoned.c_str(), kClosed},
      {"get_operation_logs", {}, "权限不足：没有查看操作日志的权限", "权限不足：没有查看操作日志的权限"},
      {"get_role_permissions", {{"roleName", "admin"}}, kAccessPoisoned.c_str(), kClosed},
      {"get_system_config", {{"configKey", "k"}}, kAccessPoisoned.c_str(), kClosed},
      {"get_users", {}, "权限不足：没有查看用户的权限", "权限不足：没有查看用户的权限"},
      {"login", {{"request", {"admin", "tovel594"}}}, kFriendlyPoisoned.c_str(), kClosed},
      {"logout", {}, nullptr, nullptr},
      {"set_role_permission", grant, "权限不足：没有管理权限的权限", "权限不足：没有管理权限的权限"},
      {"set_system_config", config, "权限不足：没有设置系统配置的权限", "权限不足：没有设置系统配置的权限"},
      {"set_system_config", print_config, kAccessPoisoned.c_str(), kClosed},
  };
}

TEST_F(UsersTest, EveryCommandWithAPoisonedOrClosedConnection) {
  for (bool poisoned : {true, false}) {
    if (poisoned) poison_connection();
    else close_connection();
    for (const BorrowCase& c : borrow_cases()) {
      SCOPED_TRACE(std::string(c.cmd) + (poisoned ? " poisoned" : " closed"));
      const char* expected = poisoned ? c.poisoned : c.closed;
      auto r = call(c.cmd, c.args);
      if (!expected) {
        EXPECT_TRUE(r.ok()) << r.error();
      } else {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error(), expected);
      }
    }
    testing_support::reset_shared_connection();
  }
}

}  // namespace
