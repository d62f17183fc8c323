// Warehouses through the dispatcher: the four commands, their records, the
// default flag and what a refused or failed call leaves behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands.h"
#include "database.h"
#include "json.h"
#include "server.h"
#include "support/test_db.h"

namespace {

class WarehousesTest : public testing_support::CommandTest {
 protected:
  // The codes of the warehouses whose stored flag is 1, in code order.
  static std::vector<std::string> default_codes() {
    auto r = db::with_connection<std::vector<std::string>>(
        db::kPlainTexts, [&](db::Connection& c) -> Result<std::vector<std::string>> {
          std::vector<std::string> codes;
          db::Statement s = c.prepare("SELECT code FROM warehouses WHERE is_default = 1 ORDER BY code");
          while (s.step()) codes.push_back(s.text(0));
          return codes;
        });
    return r.ok() ? *r : std::vector<std::string>{"<error>"};
  }

  static Json add_request(const std::string& code, bool is_default) {
    return {{"name", "仓库" + code}, {"code", code}, {"is_default", is_default}};
  }
  static Json add(const std::string& code, bool is_default = false) {
    return ok("add_warehouse", {{"request", add_request(code, is_default)}});
  }
};

TEST_F(WarehousesTest, AddAnswersTheStoredWarehouse) {
  // Absent and null optional texts are both stored as "".
  const Json answer = ok("add_warehouse", {{"request",
                                            {{"name", "主仓"},
                                             {"code", "W01"},
                                             {"address", nullptr},
                                             {"phone", "0571-1234"},
                                             {"is_default", true}}}});
  ASSERT_TRUE(answer.is_object());
  const std::string id = answer["id"];
  const std::string created_at = answer["created_at"];
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(created_at.size(), 19u);
  EXPECT_EQ(json::write(answer),
            "{\"address\":\"\",\"code\":\"W01\",\"contact\":\"\",\"created_at\":\"" + created_at +
                "\",\"description\":\"\",\"id\":\"" + id +
                "\",\"is_default\":true,\"name\":\"主仓\",\"phone\":\"0571-1234\"}");
  EXPECT_EQ(ok("get_warehouses", Json::object()), Json::array({answer}));
  EXPECT_EQ(count_rows("warehouses WHERE address = '' AND contact = '' AND typeof(is_default) = "
                  "'integer'"),
            1);
  EXPECT_EQ(count_rows("operation_logs"), 0) << "warehouse changes are not logged";
}

TEST_F(WarehousesTest, AddRefusesACodeInUseAndLeavesTheDefault) {
  add("W01", true);
  EXPECT_EQ(error("add_warehouse", {{"request", add_request("W01", true)}}), "仓库编码 'W01' 已存在");
  EXPECT_EQ(default_codes(), std::vector<std::string>{"W01"});
  EXPECT_EQ(count_rows("warehouses"), 1);

  // The check is exact: another case is another code; the empty code once.
  add("w01");
  add("");
  EXPECT_EQ(error("add_warehouse", {{"request", add_request("", false)}}), "仓库编码 '' 已存在");
  EXPECT_EQ(count_rows("warehouses"), 3);
}

TEST_F(WarehousesTest, DefaultFlagMovesToTheLastWarehouseMadeDefault) {
  struct Step {
    std::string cmd;  // "add" or "update"
    std::string code;
    bool is_default;
    std::vector<std::string> defaults_after;
  };
  const Step steps[] = {
      {"add", "A", true, {"A"}},
      {"add", "B", false, {"A"}},
      {"add", "C", true, {"C"}},
      {"update", "B", true, {"B"}},
      {"update", "A", false, {"B"}},
      {"update", "B", false, {}},  // no default at all is allowed
  };
  for (const Step& s : steps) {
    if (s.cmd == "add") {
      add(s.code, s.is_default);
    } else {
      Json w;
      for (const Json& row : ok("get_warehouses", nullptr))
        if (row["code"] == s.code) w = row;
      w["is_default"] = s.is_default;
      EXPECT_EQ(ok("update_warehouse", {{"request", w}}), "更新成功");
    }
    EXPECT_EQ(default_codes(), s.defaults_after) << s.cmd << " " << s.code;
  }
}

// A write that fails after the default was cleared must not leave the
// business without its default warehouse.
TEST_F(WarehousesTest, FailedWriteKeepsTheOldDefault) {
  const Json a = add("A", true);
  Json b = add("B");

  b["is_default"] = true;
  b["code"] = "A";  // taken by the other warehouse
  EXPECT_EQ(error("update_warehouse", {{"request", b}}), "UNIQUE constraint failed: warehouses.code");
  EXPECT_EQ(default_codes(), std::vector<std::string>{"A"});
  EXPECT_EQ(count_rows("warehouses WHERE code = 'B'"), 1);

  exec("CREATE TRIGGER refuse_insert BEFORE INSERT ON warehouses BEGIN SELECT RAISE(ABORT, 'disk full'); END");
  EXPECT_EQ(error("add_warehouse", {{"request", add_request("C", true)}}), "disk full");
  EXPECT_EQ(default_codes(), std::vector<std::string>{"A"});
}

TEST_F(WarehousesTest, UpdateRewritesAllButIdAndCreatedAt) {
  const Json before = add("W01");
  Json w = {{"id", before["id"]},      {"name", "新名"},       {"code", "W02"},
            {"address", "杭州"},       {"contact", "张三"},     {"phone", "138"},
            {"description", "冷库"},   {"is_default", true},    {"created_at", "2000-01-01 00:00:00"}};
  EXPECT_EQ(ok("update_warehouse", {{"request", w}}), "更新成功");
  w["created_at"] = before["created_at"];
  EXPECT_EQ(ok("get_warehouses", nullptr), Json::array({w}));
}

TEST_F(WarehousesTest, UpdateAndDeleteOfAnUnknownIdSucceed) {
  add("A", true);
  Json ghost = add_request("Z", true);
  ghost["id"] = "no-such-id";
  ghost["created_at"] = "";
  for (const char* key : {"address", "contact", "phone", "description"}) ghost[key] = "";
  EXPECT_EQ(ok("update_warehouse", {{"request", ghost}}), "更新成功");
  EXPECT_EQ(default_codes(), std::vector<std::string>{}) << "the other warehouses lose the flag all the same";
  EXPECT_EQ(ok("delete_warehouse", {{"warehouseId", "no-such-id"}}), "删除成功");
  EXPECT_EQ(count_rows("warehouses"), 1);
}

TEST_F(WarehousesTest, DeleteIsRefusedWhileALocationBelongsToTheWarehouse) {
  const std::string id = add("W01")["id"];
  exec("INSERT INTO locations (id, warehouse_id, code, name) VALUES ('l1', '" + id + "', 'A-01', '货架')");
  EXPECT_EQ(error("delete_warehouse", {{"warehouseId", id}}), "该仓库下存在库位，无法删除");
  EXPECT_EQ(count_rows("warehouses"), 1);
  EXPECT_EQ(count_rows("locations"), 1);

  exec("DELETE FROM locations");
  EXPECT_EQ(ok("delete_warehouse", {{"warehouseId", id}}), "删除成功");
  EXPECT_EQ(count_rows("warehouses"), 0);
}

TEST_F(WarehousesTest, DeleteWithoutAnIdLooksForLocationsWithAnEmptyWarehouse) {
  add("W01");
  exec("INSERT INTO locations (id, warehouse_id, code, name) VALUES ('l1', '', 'A-01', '货架')");
  for (const Json& args : {Json::object(), Json{{"warehouseId", 5}}})
    EXPECT_EQ(error("delete_warehouse", args), "该仓库下存在库位，无法删除") << args.dump();
  exec("DELETE FROM locations");
  EXPECT_EQ(ok("delete_warehouse", Json::object()), "删除成功");
  EXPECT_EQ(count_rows("warehouses"), 1);
}

TEST_F(WarehousesTest, ListIsNewestFirstAndFailsOnAnUnreadableRow) {
  EXPECT_EQ(ok("get_warehouses", nullptr), Json::array());
  add("OLD");
  add("NEW");
  exec("UPDATE warehouses SET created_at = '2024-01-01 00:00:00' WHERE code = 'OLD'");
  const Json list = ok("get_warehouses", nullptr);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["code"], "NEW");
  EXPECT_EQ(list[1]["code"], "OLD");

  struct Case {
    std::string sql;
    std::string error;
  };
  const Case cases[] = {
      {"UPDATE warehouses SET address = NULL WHERE code = 'OLD'", "Invalid column type Null at index: 3, name: address"},
      {"UPDATE warehouses SET is_default = 'yes' WHERE code = 'OLD'",
       "Invalid column type Text at index: 7, name: is_default"},
      {"UPDATE warehouses SET is_default = 4294967296 WHERE code = 'OLD'", "Integer 4294967296 out of range at index 7"},
  };
  for (const Case& c : cases) {
    exec("UPDATE warehouses SET address = '', is_default = 0");
    exec(c.sql);
    EXPECT_EQ(error("get_warehouses", nullptr), c.error) << c.sql;
  }
}

TEST_F(WarehousesTest, RequestsThatCannotBeReadNeverReachTheHandler) {
  const Json full = {{"id", "x"},      {"name", "n"},        {"code", "c"},        {"address", ""}, {"contact", ""},
                     {"phone", ""},    {"description", ""}, {"is_default", false}, {"created_at", ""}};
  auto without = [&](const char* key) {
    Json j = full;
    j.erase(key);
    return j;
  };
  auto with = [](Json j, const char* key, Json v) {
    j[key] = std::move(v);
    return j;
  };
  const FailureCase cases[] = {
      {"add_warehouse", Json::object(), "invalid type: null, expected struct AddWarehouseRequest"},
      {"add_warehouse", {{"request", {{"name", "n"}, {"code", "c"}}}}, "missing field `is_default`"},
      {"add_warehouse", {{"request", with(add_request("c", false), "address", 5)}},
       "invalid type: integer `5`, expected a string"},
      {"add_warehouse", {{"request", with(add_request("c", false), "is_default", 1)}},
       "invalid type: integer `1`, expected a boolean"},
      {"add_warehouse", {{"request", {"n", "c", nullptr, nullptr, nullptr, nullptr}}},
       "invalid length 6, expected struct AddWarehouseRequest with 7 elements"},
      {"add_warehouse", {{"request", {"n", "c", nullptr, nullptr, nullptr, nullptr, false, "x"}}},
       "invalid length 8, expected fewer elements in array"},
      {"update_warehouse", Json::object(), "invalid type: null, expected struct Warehouse"},
      {"update_warehouse", {{"request", without("created_at")}}, "missing field `created_at`"},
      {"update_warehouse", {{"request", with(full, "phone", nullptr)}}, "invalid type: null, expected a string"},
      {"update_warehouse", {{"request", Json::array({"x", "n", "c", "", "", "", "", false})}},
       "invalid length 8, expected struct Warehouse with 9 elements"},
  };
  for (const FailureCase& c : cases) EXPECT_EQ(error(c.cmd, c.args), c.error) << c;
  EXPECT_EQ(count_rows("warehouses"), 0);

  // The array forms, in declaration order.
  const Json added =
      ok("add_warehouse", {{"request", {"名", "W9", "地址", nullptr, "电话", nullptr, true}}});
  EXPECT_EQ(added["address"], "地址");
  EXPECT_EQ(added["contact"], "");
  EXPECT_EQ(added["phone"], "电话");
  EXPECT_EQ(added["is_default"], true);
  EXPECT_EQ(ok("update_warehouse", {{"request", {added["id"], "名2", "W9", "", "", "", "", false, ""}}}), "更新成功");
  EXPECT_EQ(ok("get_warehouses", nullptr)[0]["name"], "名2");
}

TEST_F(WarehousesTest, WithoutThePermissionNothingChanges) {
  const std::string id = add("W01", true)["id"];
  const Json before = ok("get_warehouses", nullptr);
  Json w = before[0];
  w["name"] = "改名";
  const FailureCase cases[] = {
      {"add_warehouse", {{"request", add_request("W02", true)}}, "权限不足：没有新增仓库的权限"},
      {"update_warehouse", {{"request", w}}, "权限不足：没有编辑仓库的权限"},
      {"delete_warehouse", {{"warehouseId", id}}, "权限不足：没有删除仓库的权限"},
  };
  for (const FailureCase& c : cases) EXPECT_EQ(error(c.cmd, c.args, "ghost"), c.error);
  EXPECT_EQ(ok("get_warehouses", nullptr), before);
}

TEST_F(WarehousesTest, LockAndConnectionTexts) {
  const Json update = {{"request", {"x", "n", "c", "", "", "", "", false, ""}}};
  struct Case {
    std::string cmd;
    Json args;
    std::string poisoned, empty;  // the permission check fails first for the guarded ones
  };
  const Case cases[] = {
      {"get_warehouses", nullptr, "poisoned lock: another task failed inside", "Database not initialized"},
      {"add_warehouse", {{"request", add_request("c", false)}}, "权限不足：没有新增仓库的权限",
       "权限不足：没有新增仓库的权限"},
      {"update_warehouse", update, "权限不足：没有编辑仓库的权限", "权限不足：没有编辑仓库的权限"},
      {"delete_warehouse", {{"warehouseId", "x"}}, "权限不足：没有删除仓库的权限", "权限不足：没有删除仓库的权限"},
  };
  poison_connection();
  for (const Case& c : cases) EXPECT_EQ(error(c.cmd, c.args), c.poisoned) << c.cmd;
  testing_support::reset_shared_connection();  // not poisoned, no connection
  for (const Case& c : cases) EXPECT_EQ(error(c.cmd, c.args), c.empty) << c.cmd;
}

TEST(WarehouseCommands, OnlyTheChangingOnesAreAnnounced) {
  for (const char* cmd : {"add_warehouse", "update_warehouse", "delete_warehouse"})
    EXPECT_TRUE(is_write_command(cmd)) << cmd;
  EXPECT_FALSE(is_write_command("get_warehouses"));
}

}  // namespace
