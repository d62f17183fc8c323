// System settings: reading one value, setting one (with the print-default
// keys open to everyone), and listing all of them.
#include <gtest/gtest.h>

#include "system_config.h"
#include "users_fixture.h"

namespace {

using users_testing::UsersTest;

Json set_request(const std::string& key, const std::string& value, const Json& description = nullptr) {
  Json request = {{"config_key", key}, {"config_value", value}};
  if (!description.is_null()) request["description"] = description;
  return {{"request", request}};
}

TEST_F(UsersTest, GetSystemConfigAnswersTheValueOrEmpty) {
  EXPECT_EQ(ok("get_system_config", {{"configKey", "dual_unit_enabled"}}, "nobody"), "1");
  EXPECT_EQ(ok("get_system_config", {{"configKey", "no_such_key"}}), "");
  EXPECT_EQ(ok("get_system_config", Json::object()), "");
  exec("DROP TABLE system_config");
  EXPECT_EQ(ok("get_system_config", {{"configKey", "dual_unit_enabled"}}), "");
  EXPECT_FALSE(is_write_command("get_system_config"));
}

TEST_F(UsersTest, SetSystemConfigInsertsThenUpdates) {
  EXPECT_EQ(ok("set_system_config", set_request("company_name", "甲公司", "公司名称")), "配置保存成功");
  Json first = rows("SELECT id, config_value, description, updated_at FROM system_config WHERE config_key='company_name'");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0]["config_value"], "甲公司");
  EXPECT_EQ(first[0]["description"], "公司名称");

  exec("UPDATE system_config SET updated_at='2000-01-01 00:00:00' WHERE config_key='company_name'");
  ok("set_system_config", set_request("company_name", "乙公司"));  // no description: cleared
  Json second = rows("SELECT id, config_value, description, updated_at FROM system_config WHERE config_key='company_name'");
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0]["id"], first[0]["id"]);
  EXPECT_EQ(second[0]["config_value"], "乙公司");
  EXPECT_EQ(second[0]["description"], "");
  EXPECT_NE(second[0]["updated_at"], "2000-01-01 00:00:00");

  // The array form with a null description.
  ok("set_system_config", {{"request", {"company_name", "丙公司", nullptr}}});
  EXPECT_EQ(ok("get_system_config", {{"configKey", "company_name"}}), "丙公司");
  EXPECT_TRUE(is_write_command("set_system_config"));
  EXPECT_TRUE(log_entries().empty());
}

TEST_F(UsersTest, SetSystemConfigPermission) {
  struct Case {
    const char* key;
    const char* user;
    bool allowed;
  } cases[] = {
      {"default_print_sale", "clerk", true},  {"default_print_", "nobody", true},
      {"default_print", "clerk", false},      {"Default_print_sale", "clerk", false},
      {"auto_backup_enabled", "clerk", false}, {"auto_backup_enabled", "admin", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " / " + c.user);
    auto r = call("set_system_config", set_request(c.key, "v"), c.user);
    if (c.allowed) {
      EXPECT_TRUE(r.ok()) << r.error();
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), "权限不足：没有设置系统配置的权限");
      EXPECT_TRUE(rows("SELECT id FROM system_config WHERE config_key=?1", std::string(c.key)).empty());
    }
  }
}

TEST_F(UsersTest, SetSystemConfigErrors) {
  EXPECT_EQ(error("set_system_config", {{"request", {{"config_key", "k"}}}}), "missing field `config_value`");
  EXPECT_EQ(error("set_system_config", {{"request", {"k", "v"}}}),
            "invalid length 2, expected struct SetConfigRequest with 3 elements");
  EXPECT_EQ(error("set_system_config", {{"request", {{"config_key", "k"}, {"config_value", 1}}}}),
            "invalid type: integer `1`, expected a string");
  exec("CREATE TRIGGER refuse BEFORE UPDATE ON system_config BEGIN SELECT RAISE(ABORT, 'read only'); END");
  EXPECT_EQ(error("set_system_config", set_request("dual_unit_enabled", "0")), "保存配置失败：read only");
  EXPECT_EQ(ok("get_system_config", {{"configKey", "dual_unit_enabled"}}), "1");
}

TEST_F(UsersTest, GetAllSystemConfigsListsByKey) {
  ok("set_system_config", set_request("b_key", "2", "第二"));
  ok("set_system_config", set_request("a_key", "1"));
  exec("INSERT INTO system_config (id, config_key, config_value, description, updated_at) "
       "VALUES ('n', 'c_key', '3', NULL, NULL)");
  Json got = ok("get_all_system_configs", Json::object(), "nobody");
  std::vector<std::string> keys;
  for (const Json& r : got) keys.push_back(r["config_key"]);
  EXPECT_EQ(keys, (std::vector<std::string>{"a_key", "b_key", "c_key", "dual_unit_enabled"}));
  EXPECT_EQ(json::write(got[2]), R"({"config_key":"c_key","config_value":"3","description":"","id":"n","updated_at":""})");
  EXPECT_EQ(got[1]["description"], "第二");
  EXPECT_FALSE(is_write_command("get_all_system_configs"));
}

TEST_F(UsersTest, GetAllSystemConfigsReportsARowItCannotRead) {
  exec("INSERT INTO system_config (id, config_key, config_value) VALUES ('n', 'k', X'00')");
  EXPECT_EQ(error("get_all_system_configs", Json::object()),
            "读取配置失败：Invalid column type Blob at index: 2, name: config_value");
}

TEST_F(UsersTest, GetAllSystemConfigsReportsAQueryItCannotPrepare) {
  exec("DROP TABLE system_config");
  EXPECT_EQ(error("get_all_system_configs", Json::object()), "查询配置失败：no such table: system_config");
}

}  // namespace
