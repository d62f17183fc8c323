// The operation log: the writer that never fails its caller, and the three
// commands that add, read and clear entries.
#include <gtest/gtest.h>

#include "operation_logs.h"
#include "users_fixture.h"

namespace {

using users_testing::UsersTest;

const Json kEntry = {{"username", "li"}, {"real_name", "李四"}, {"action", "打印"}, {"module", "打印管理"},
                     {"detail", "打印销售单"}};

TEST_F(UsersTest, LogOperationAppendsOneRow) {
  log_operation("admin", "系统管理员", "添加", "用户管理", "添加用户: bob (Bob)");
  const Json expected = {"admin", "系统管理员", "添加", "用户管理", "添加用户: bob (Bob)"};
  EXPECT_EQ(log_entries(), Json::array({expected}));
  Json row = rows("SELECT id, created_at FROM operation_logs")[0];
  EXPECT_EQ(row["id"].get<std::string>().size(), 36u);
  EXPECT_EQ(row["created_at"].get<std::string>().size(), 19u);  // "YYYY-MM-DD HH:MM:SS"
}

// It writes through its own connection: a caller holding the shared one does
// not wait for itself.
TEST_F(UsersTest, LogOperationWorksWhileTheSharedConnectionIsHeld) {
  auto r = db::with_connection<Unit>(db::kPlainTexts, [&](db::Connection&) -> Result<Unit> {
    log_operation("admin", "系统管理员", "删除", "类别管理", "删除类别");
    return Unit{};
  });
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(log_entries().size(), 1u);
}

TEST_F(UsersTest, LoggingFailureNeverFailsTheCommand) {
  exec("DROP TABLE operation_logs");
  log_operation("admin", "系统管理员", "添加", "用户管理", "lost");
  const std::string bob = add_account("bob", "employee");
  EXPECT_EQ(ok("delete_user", {{"userId", bob}}), nullptr);
  EXPECT_TRUE(rows("SELECT id FROM users WHERE username='bob'").empty());
}

TEST_F(UsersTest, AddOperationLogStoresTheRequestsUser) {
  EXPECT_EQ(ok("add_operation_log", {{"request", kEntry}}, "admin"), "日志记录成功");
  const Json expected = {kEntry["username"], kEntry["real_name"], kEntry["action"], kEntry["module"],
                         kEntry["detail"]};
  EXPECT_EQ(log_entries(), Json::array({expected}));
  // The array form, from any caller: no permission is needed.
  ok("add_operation_log", {{"request", {"wang", "王五", "导出", "数据", ""}}}, "nobody");
  EXPECT_EQ(log_entries()[1][0], "wang");  // [username, real_name, action, module, detail]
  EXPECT_TRUE(is_write_command("add_operation_log"));
}

TEST_F(UsersTest, AddOperationLogErrors) {
  Json no_detail = kEntry;
  no_detail.erase("detail");
  EXPECT_EQ(error("add_operation_log", {{"request", no_detail}}), "missing field `detail`");
  EXPECT_EQ(error("add_operation_log", {{"request", {"a", "b", "c", "d"}}}),
            "invalid length 4, expected struct AddLogRequest with 5 elements");
  EXPECT_EQ(error("add_operation_log", {{"request", "x"}}), "invalid type: string \"x\", expected struct AddLogRequest");
  exec("DROP TABLE operation_logs");
  EXPECT_EQ(error("add_operation_log", {{"request", kEntry}}), "记录日志失败：no such table: operation_logs");
}

TEST_F(UsersTest, GetOperationLogsAnswersTheHundredNewest) {
  EXPECT_EQ(ok("get_operation_logs", Json::object()), Json::array());
  // 150 entries a minute apart: 00:00 .. 02:29.
  exec("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 149) "
       "INSERT INTO operation_logs (id, username, real_name, action, module, detail, created_at) "
       "SELECT 'id' || i, 'u', 'U', 'a', 'm', 'd' || i, datetime('2024-03-01 00:00:00', '+' || i || ' minutes') "
       "FROM n");
  Json got = ok("get_operation_logs", Json::object());
  ASSERT_EQ(got.size(), 100u);
  EXPECT_EQ(got[0]["detail"], "d149");
  EXPECT_EQ(got[0]["created_at"], "2024-03-01 02:29:00");
  EXPECT_EQ(got[99]["detail"], "d50");
  EXPECT_FALSE(is_write_command("get_operation_logs"));
}

TEST_F(UsersTest, OperationLogRowOnTheWire) {
  exec("INSERT INTO operation_logs (id, username, real_name, action, module, detail, created_at) "
       "VALUES ('x', 'u', '用户', '添加', '用户管理', NULL, NULL)");
  const std::string expected =
      R"([{"action":"添加","created_at":"","detail":"","id":"x","module":"用户管理","real_name":"用户","username":"u"}])";
  EXPECT_EQ(json::write(ok("get_operation_logs", Json::object())), expected);
}

TEST_F(UsersTest, GetOperationLogsReportsARowItCannotRead) {
  exec("INSERT INTO operation_logs (id, username, real_name, action, module) VALUES ('x', 'u', 'U', X'00', 'm')");
  EXPECT_EQ(error("get_operation_logs", Json::object()), "读取日志失败：Invalid column type Blob at index: 3, name: action");
}

TEST_F(UsersTest, GetOperationLogsReportsAQueryItCannotPrepare) {
  exec("DROP TABLE operation_logs");
  EXPECT_EQ(error("get_operation_logs", Json::object()), "查询日志失败：no such table: operation_logs");
}

TEST_F(UsersTest, ClearOperationLogsEmptiesTheTableWithoutAnEntry) {
  ok("add_operation_log", {{"request", kEntry}});
  ok("add_operation_log", {{"request", kEntry}});
  EXPECT_EQ(ok("clear_operation_logs", Json::object()), "日志已清除");
  EXPECT_EQ(ok("get_operation_logs", Json::object()), Json::array());
  EXPECT_TRUE(is_write_command("clear_operation_logs"));
  exec("DROP TABLE operation_logs");
  EXPECT_EQ(error("clear_operation_logs", Json::object()), "清除日志失败：no such table: operation_logs");
}

TEST_F(UsersTest, ReadingAndClearingTheLogNeedLogsView) {
  ok("add_operation_log", {{"request", kEntry}});
  for (const char* user : {"clerk", "nobody", ""}) {
    SCOPED_TRACE(user);
    EXPECT_EQ(error("get_operation_logs", Json::object(), user), "权限不足：没有查看操作日志的权限");
    EXPECT_EQ(error("clear_operation_logs", Json::object(), user), "权限不足：没有清除操作日志的权限");
  }
  EXPECT_EQ(log_entries().size(), 1u);
}

}  // namespace
