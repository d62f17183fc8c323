// Roles and permission keys: the check every guarded command makes, the
// default grants, and the two commands that read and change a role's keys.
#include <gtest/gtest.h>

#include <set>

#include "permission_keys.h"
#include "permissions.h"
#include "users_fixture.h"

namespace {

using users_testing::UsersTest;

struct CheckCase {
  const char* name;
  const char* setup;  // SQL run first, or empty
  const char* user;
  const char* key;
  bool granted;
};

class CheckPermissionTest : public UsersTest, public testing::WithParamInterface<CheckCase> {};

TEST_P(CheckPermissionTest, AnswersFromTheRoleRows) {
  const CheckCase& c = GetParam();
  if (*c.setup) exec(c.setup);
  EXPECT_EQ(check_permission(c.user, c.key), c.granted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckPermissionTest,
    testing::Values(
        CheckCase{"AdminSeeded", "", "admin", "logs_view", true},
        CheckCase{"EmployeeGranted", "", "clerk", "products_view", true},
        CheckCase{"EmployeeSeesCost", "", "clerk", "inventory_view_cost", true},
        CheckCase{"EmployeeDenied", "", "clerk", "logs_view", false},
        CheckCase{"EmployeeNoExport", "", "clerk", "data_export", false},
        CheckCase{"UnknownUser", "", "nobody", "products_view", false},
        CheckCase{"EmptyUser", "", "", "products_view", false},
        CheckCase{"UnknownKey", "", "admin", "no_such_key", false},
        CheckCase{"RoleWithoutRows",
                  "INSERT INTO users VALUES ('g','guest','pw','访客','guest','2024-01-01 00:00:00')", "guest",
                  "products_view", false},
        CheckCase{"RoleTextIsExact",
                  "INSERT INTO users VALUES ('a2','boss','pw','老板','Admin','2024-01-01 00:00:00')", "boss",
                  "products_view", false},
        CheckCase{"NoBypassForAdmin",
                  "UPDATE role_permissions SET is_granted=0 WHERE role_name='admin' AND permission_key='logs_view'",
                  "admin", "logs_view", false},
        CheckCase{"NonIntegerGrant",
                  "UPDATE role_permissions SET is_granted='yes' WHERE role_name='admin' AND permission_key='logs_view'",
                  "admin", "logs_view", false},
        CheckCase{"BlobRole", "UPDATE users SET role=X'61646d696e' WHERE username='admin'", "admin", "logs_view",
                  false},
        CheckCase{"UsersTableMissing", "DROP TABLE users", "admin", "logs_view", false}),
    [](const testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

TEST_F(UsersTest, CheckPermissionIsFalseWithoutAUsableConnection) {
  close_connection();
  EXPECT_FALSE(check_permission("admin", "logs_view"));
  testing_support::reset_shared_connection();
  ASSERT_TRUE(db::init_database().ok());
  poison_connection();
  EXPECT_FALSE(check_permission("admin", "logs_view"));
}

// The seeded roles answer all 29 keys with their labels and default grants.
TEST_F(UsersTest, SeededRolesCarryTheDefaultGrants) {
  for (const char* role : {"admin", "employee"}) {
    SCOPED_TRACE(role);
    Json got = ok("get_role_permissions", {{"roleName", role}});
    ASSERT_EQ(got.size(), kPermissionKeys.size());
    for (const PermissionKeyInfo& k : kPermissionKeys) {
      auto row = std::find_if(got.begin(), got.end(), [&](const Json& r) { return r["permission_key"] == k.key; });
      ASSERT_NE(row, got.end()) << k.key;
      EXPECT_EQ((*row)["permission_name"], k.label) << k.key;
      EXPECT_EQ((*row)["is_granted"], std::string(role) == "admin" ? k.admin : k.employee) << k.key;
    }
  }
}

// A role met anew answers 27 rows (all keys but data_import and data_export,
// with the new-role grants), the same 27 again, then all 29.
TEST_F(UsersTest, RoleReadForTheFirstTimeGetsItsRowsInTwoSteps) {
  auto check = [](const Json& rows, size_t expected) {
    ASSERT_EQ(rows.size(), expected);
    std::vector<std::string> keys;
    for (const Json& r : rows) {
      keys.push_back(r["permission_key"]);
      EXPECT_EQ(r["role_name"], "仓管");
      auto k = std::find_if(kPermissionKeys.begin(), kPermissionKeys.end(),
                            [&](const PermissionKeyInfo& info) { return info.key == keys.back(); });
      ASSERT_NE(k, kPermissionKeys.end()) << keys.back();
      EXPECT_EQ(r["permission_name"], k->label) << k->key;
      EXPECT_EQ(r["is_granted"], k->new_role) << k->key;
    }
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  };
  Json first = ok("get_role_permissions", {{"roleName", "仓管"}});
  check(first, 27);
  for (const Json& r : first) {
    EXPECT_NE(r["permission_key"], "data_import");
    EXPECT_NE(r["permission_key"], "data_export");
    if (r["permission_key"] == "inventory_view_cost") EXPECT_EQ(r["is_granted"], false);
  }
  EXPECT_EQ(ok("get_role_permissions", {{"roleName", "仓管"}}), first);
  EXPECT_FALSE(is_write_command("get_role_permissions"));
  EXPECT_TRUE(log_entries().empty());
  check(ok("get_role_permissions", {{"roleName", "仓管"}}), 29);
}

TEST_F(UsersTest, RoleNameMissingReadsTheEmptyRole) {
  EXPECT_EQ(ok("get_role_permissions", Json::object()).size(), 27u);
  EXPECT_EQ(rows("SELECT COUNT(*) AS n FROM role_permissions WHERE role_name=''")[0]["n"], 27);
}

TEST_F(UsersTest, RolePermissionRowOnTheWire) {
  exec("UPDATE role_permissions SET id='x', updated_at=NULL WHERE role_name='employee' AND permission_key='logs_view'");
  Json got = ok("get_role_permissions", {{"roleName", "employee"}});
  auto row = std::find_if(got.begin(), got.end(), [](const Json& r) { return r["permission_key"] == "logs_view"; });
  ASSERT_NE(row, got.end());
  EXPECT_EQ(json::write(*row),
            R"({"id":"x","is_granted":false,"permission_key":"logs_view","permission_name":"系统管理",)"
            R"("role_name":"employee","updated_at":""})");
}

TEST_F(UsersTest, GetRolePermissionsReportsARowItCannotRead) {
  exec("UPDATE role_permissions SET is_granted='x' WHERE role_name='employee' AND permission_key='logs_view'");
  EXPECT_EQ(error("get_role_permissions", {{"roleName", "employee"}}),
            "读取权限失败：Invalid column type Text at index: 4, name: is_granted");
}

TEST_F(UsersTest, GetRolePermissionsReportsAQueryItCannotPrepare) {
  exec("DROP TABLE role_permissions");
  EXPECT_EQ(error("get_role_permissions", {{"roleName", "employee"}}),
            "查询权限失败：no such table: role_permissions");
}

TEST_F(UsersTest, SetRolePermissionChangesAnExistingRow) {
  Json before = rows("SELECT id, permission_name FROM role_permissions WHERE role_name='employee' AND "
                     "permission_key='logs_view'");
  exec("UPDATE role_permissions SET updated_at='2000-01-01 00:00:00' WHERE role_name='employee'");
  EXPECT_EQ(ok("set_role_permission",
               {{"request", {{"role_name", "employee"}, {"permission_key", "logs_view"}, {"is_granted", true}}}}),
            "权限设置成功");
  Json after = rows("SELECT id, permission_name, is_granted, updated_at FROM role_permissions "
                    "WHERE role_name='employee' AND permission_key='logs_view'");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0]["id"], before[0]["id"]);
  EXPECT_EQ(after[0]["permission_name"], "系统管理");
  EXPECT_EQ(after[0]["is_granted"], 1);
  EXPECT_NE(after[0]["updated_at"], "2000-01-01 00:00:00");
  EXPECT_TRUE(check_permission("clerk", "logs_view"));
  EXPECT_TRUE(is_write_command("set_role_permission"));
  EXPECT_TRUE(log_entries().empty());

  // The array form, revoking again.
  ok("set_role_permission", {{"request", {"employee", "logs_view", false}}});
  EXPECT_FALSE(check_permission("clerk", "logs_view"));
  EXPECT_EQ(rows("SELECT is_granted FROM role_permissions WHERE role_name='employee' AND "
                 "permission_key='logs_view'")[0]["is_granted"],
            0);
}

TEST_F(UsersTest, SetRolePermissionInsertsAnyKey) {
  ok("set_role_permission",
     {{"request", {{"role_name", "guest"}, {"permission_key", "custom_key"}, {"is_granted", true}}}});
  Json row = rows("SELECT permission_name, is_granted FROM role_permissions WHERE role_name='guest'");
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0]["permission_name"], "");
  EXPECT_EQ(row[0]["is_granted"], 1);
  add_account("visitor", "guest");
  EXPECT_TRUE(check_permission("visitor", "custom_key"));
  EXPECT_TRUE(log_entries().empty());
}

TEST_F(UsersTest, SetRolePermissionRefusals) {
  const Json request = {{"role_name", "employee"}, {"permission_key", "users_edit"}, {"is_granted", true}};
  struct Case {
    Json args;
    const char* user;
    std::string error;
  } cases[] = {
      {{{"request", request}}, "clerk", "权限不足：没有管理权限的权限"},
      {{{"request", request}}, "nobody", "权限不足：没有管理权限的权限"},
      {{{"request", {{"role_name", "employee"}, {"permission_key", "users_edit"}, {"is_granted", 1}}}},
       "admin",
       "invalid type: integer `1`, expected a boolean"},
      {{{"request", {{"role_name", "employee"}, {"permission_key", "users_edit"}}}}, "admin",
       "missing field `is_granted`"},
      {{{"request", {"employee", "users_edit"}}}, "admin",
       "invalid length 2, expected struct SetPermissionRequest with 3 elements"},
      {Json::object(), "admin", "invalid type: null, expected struct SetPermissionRequest"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.dump());
    EXPECT_EQ(error("set_role_permission", c.args, c.user), c.error);
  }
  EXPECT_FALSE(check_permission("clerk", "users_edit"));
}

TEST_F(UsersTest, SetRolePermissionReportsAFailedWrite) {
  exec("CREATE TRIGGER refuse BEFORE INSERT ON role_permissions BEGIN SELECT RAISE(ABORT, 'refused'); END");
  EXPECT_EQ(error("set_role_permission",
                  {{"request", {{"role_name", "guest"}, {"permission_key", "k"}, {"is_granted", true}}}}),
            "设置权限失败：refused");
}

// Revoking the last holder's permissions_edit locks everyone out of it.
TEST_F(UsersTest, RevokingPermissionsEditFromAdminIsFinal) {
  ok("set_role_permission", {{"request", {"admin", "permissions_edit", false}}});
  EXPECT_EQ(error("set_role_permission", {{"request", {"admin", "permissions_edit", true}}}),
            "权限不足：没有管理权限的权限");
}

}  // namespace
