// Storage locations through the dispatcher: the six commands, their records,
// the strict and lenient listings, the log entries and the refusals.
#include <gtest/gtest.h>

#include <string>

#include "commands.h"
#include "database.h"
#include "json.h"
#include "server.h"
#include "support/test_db.h"

namespace {

class LocationsTest : public testing_support::CommandTest {
 protected:
  static Json log_entry(const std::string& action, const std::string& detail) {
    return {"admin", "系统管理员", action, "库位管理", detail};
  }

  static Json add_request(const std::string& warehouse_id, const std::string& code, const std::string& name = "货架") {
    return {{"warehouse_id", warehouse_id}, {"warehouse_name", "主仓"}, {"code", code}, {"name", name},
            {"zone", "A"},                  {"aisle", "1"},            {"shelf", "2"}, {"level", "3"},
            {"position", "4"},              {"description", ""}};
  }
  static Json add(const std::string& warehouse_id, const std::string& code, const std::string& name = "货架") {
    return ok("add_location", {{"request", add_request(warehouse_id, code, name)}});
  }
};

TEST_F(LocationsTest, AddAnswersTheStoredRowAndLogsIt) {
  // No warehouse is looked up: any id is stored as sent.
  const Json answer = add("no-such-warehouse", "A-01", "一号货架");
  ASSERT_TRUE(answer.is_object());
  const std::string id = answer["id"];
  const std::string created_at = answer["created_at"];
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(created_at.size(), 19u);
  EXPECT_EQ(json::write(answer),
            "{\"aisle\":\"1\",\"code\":\"A-01\",\"created_at\":\"" + created_at + "\",\"description\":\"\",\"id\":\"" +
                id +
                "\",\"level\":\"3\",\"name\":\"一号货架\",\"position\":\"4\",\"shelf\":\"2\","
                "\"warehouse_id\":\"no-such-warehouse\",\"warehouse_name\":\"主仓\",\"zone\":\"A\"}");
  EXPECT_EQ(ok("get_locations", {{"warehouseId", "no-such-warehouse"}}), Json::array({answer}));
  EXPECT_EQ(log_entries(), Json::array({log_entry("添加", "添加库位: 一号货架 (A-01)")}));
}

TEST_F(LocationsTest, AddRefusesACodeOfAnyWarehouse) {
  add("w1", "A-01");
  EXPECT_EQ(error("add_location", {{"request", add_request("w2", "A-01")}}), "库位编码 'A-01' 已存在");
  EXPECT_EQ(count_rows("locations"), 1);
  EXPECT_EQ(log_entries().size(), 1u) << "a refused addition is not logged";
}

TEST_F(LocationsTest, RequestsThatCannotBeReadNeverReachTheHandler) {
  const Json full = {{"id", "x"},    {"warehouse_id", "w"}, {"warehouse_name", ""}, {"code", "c"},
                     {"name", "n"},  {"zone", ""},          {"aisle", ""},          {"shelf", ""},
                     {"level", ""},  {"position", ""},      {"description", ""},    {"created_at", ""}};
  auto with = [](Json j, const char* key, Json v) {
    j[key] = std::move(v);
    return j;
  };
  auto without = [](Json j, const char* key) {
    j.erase(key);
    return j;
  };
  Json eleven = Json::array({"w", "", "c", "n", "", "", "", "", "", ""});
  eleven.push_back("x");
  const FailureCase cases[] = {
      {"add_location", Json::object(), "invalid type: null, expected struct AddLocationRequest"},
      {"add_location", {{"request", Json::array({"w", "", "c", "n", "", "", "", "", ""})}},
       "invalid length 9, expected struct AddLocationRequest with 10 elements"},
      {"add_location", {{"request", eleven}},
       "invalid length 11, expected fewer elements in array"},
      {"add_location", {{"request", with(add_request("w", "c"), "zone", 5)}},
       "invalid type: integer `5`, expected a string"},
      {"add_location", {{"request", with(add_request("w", "c"), "description", nullptr)}},
       "invalid type: null, expected a string"},
      {"update_location", Json::object(), "invalid type: null, expected struct Location"},
      {"update_location", {{"request", with(without(full, "warehouse_id"), "warehouseId", "w")}},
       "missing field `warehouse_id`"},
      {"update_location", {{"request", Json::object()}}, "missing field `id`"},
      {"update_location", {{"request", without(full, "created_at")}}, "missing field `created_at`"},
      {"update_location", {{"request", with(without(full, "id"), "code", 5)}},
       "invalid type: integer `5`, expected a string"},
      // Members are met in key order: "aisle" before "level".
      {"update_location", {{"request", with(with(full, "level", 3), "aisle", true)}},
       "invalid type: boolean `true`, expected a string"},
      {"update_location", {{"request", Json::array({"x", "w", "", "c", "n", "", "", "", "", "", ""})}},
       "invalid length 11, expected struct Location with 12 elements"},
  };
  for (const FailureCase& c : cases) EXPECT_EQ(error(c.cmd, c.args), c.error) << c;
  EXPECT_EQ(count_rows("locations"), 0);
  EXPECT_EQ(log_entries(), Json::array());

  // The array form fills the fields in declaration order; unknown keys are skipped.
  const Json added = ok("add_location", {{"request", {"w", "仓", "c", "n", "z", "a", "s", "l", "p", "d"}}});
  EXPECT_EQ(added["warehouse_name"], "仓");
  EXPECT_EQ(added["zone"], "z");
  EXPECT_EQ(added["description"], "d");
  Json update = added;
  update["extra"] = Json::array({1});
  update["name"] = "新";
  EXPECT_EQ(ok("update_location", {{"request", update}}), "更新成功");
}

TEST_F(LocationsTest, UpdateRewritesAllButIdAndCreatedAtAndLogsIt) {
  const Json before = add("w1", "A-01");
  Json l = {{"id", before["id"]},    {"warehouse_id", "w2"}, {"warehouse_name", "二仓"}, {"code", "B-01"},
            {"name", "新货架"},      {"zone", "Z"},          {"aisle", "9"},            {"shelf", "8"},
            {"level", "7"},          {"position", "6"},      {"description", "说明"},   {"created_at", "1999"}};
  EXPECT_EQ(ok("update_location", {{"request", l}}), "更新成功");
  l["created_at"] = before["created_at"];
  EXPECT_EQ(ok("get_locations", nullptr), Json::array({l}));
  EXPECT_EQ(log_entries()[1], log_entry("修改", "修改库位: 新货架 (B-01)"));

  // An unknown id changes nothing and still succeeds and logs.
  Json ghost = l;
  ghost["id"] = "no-such-id";
  ghost["name"] = "幽灵";
  EXPECT_EQ(ok("update_location", {{"request", ghost}}), "更新成功");
  EXPECT_EQ(log_entries()[2], log_entry("修改", "修改库位: 幽灵 (B-01)"));
  EXPECT_EQ(ok("get_locations", nullptr), Json::array({l}));
}

TEST_F(LocationsTest, UpdateLeavesCodesToTheTablesKey) {
  add("w1", "A-01");
  Json other = add("w2", "B-01");
  Json same = add("w1", "A-02");

  // A code of another warehouse is allowed ...
  other["code"] = "A-01";
  EXPECT_EQ(ok("update_location", {{"request", other}}), "更新成功");
  // ... a code of the same warehouse is not.
  same["code"] = "A-01";
  EXPECT_EQ(error("update_location", {{"request", same}}), "操作失败：商品编码已存在，请使用其他编码");
  EXPECT_EQ(count_rows("locations WHERE code = 'A-02'"), 1);
  EXPECT_EQ(log_entries().size(), 4u) << "three additions and one update";
}

TEST_F(LocationsTest, DeleteIsRefusedWhileAProductIsPlacedThere) {
  const std::string id = add("w1", "A-01", "货架一")["id"];
  exec("INSERT INTO products (id, name, code, location_id) VALUES ('p1', '螺丝', 'P1', '" + id + "')");
  EXPECT_EQ(error("delete_location", {{"locationId", id}}), "该库位下有商品，无法删除");
  EXPECT_EQ(count_rows("locations"), 1);

  exec("UPDATE products SET location_id = 'elsewhere'");
  EXPECT_EQ(ok("delete_location", {{"locationId", id}}), "删除成功");
  EXPECT_EQ(count_rows("locations"), 0);
  EXPECT_EQ(ok("delete_location", {{"locationId", "no-such-id"}}), "删除成功");
  EXPECT_EQ(log_entries(), Json::array({log_entry("添加", "添加库位: 货架一 (A-01)"),
                                        log_entry("删除", "删除库位: A-01 货架一"), log_entry("删除", "删除库位: ")}));
}

TEST_F(LocationsTest, DeleteWithoutAnIdLooksForProductsWithoutALocation) {
  add("w1", "A-01");
  exec("INSERT INTO products (id, name, code) VALUES ('p1', '螺丝', 'P1')");  // location_id defaults to ''
  for (const Json& args : {Json::object(), Json{{"locationId", 5}}})
    EXPECT_EQ(error("delete_location", args), "该库位下有商品，无法删除") << args.dump();
  exec("DELETE FROM products");
  EXPECT_EQ(ok("delete_location", Json::object()), "删除成功");
  EXPECT_EQ(count_rows("locations"), 1);
}

TEST_F(LocationsTest, ListingsAreNewestFirst) {
  EXPECT_EQ(ok("get_locations", nullptr), Json::array());
  EXPECT_EQ(ok("get_all_locations", nullptr), Json::array());
  add("w1", "OLD");
  add("w2", "NEW");
  add("w1", "MID");
  exec("UPDATE locations SET created_at = '2024-01-01 00:00:00' WHERE code = 'OLD'");
  exec("UPDATE locations SET created_at = '2024-06-01 00:00:00' WHERE code = 'MID'");
  auto codes = [](const Json& list) {
    std::vector<std::string> out;
    for (const Json& l : list) out.push_back(l["code"]);
    return out;
  };
  using Codes = std::vector<std::string>;
  struct Case {
    std::string cmd;
    Json args;
    Codes codes;
  };
  const Case cases[] = {
      {"get_locations", Json::object(), {"NEW", "MID", "OLD"}},
      {"get_locations", {{"warehouseId", ""}}, {"NEW", "MID", "OLD"}},
      {"get_locations", {{"warehouseId", 7}}, {"NEW", "MID", "OLD"}},
      {"get_locations", {{"warehouseId", "w1"}}, {"MID", "OLD"}},
      {"get_locations", {{"warehouseId", "w9"}}, {}},
      {"get_all_locations", {{"warehouseId", "w1"}}, {"NEW", "MID", "OLD"}},
  };
  for (const Case& c : cases) EXPECT_EQ(codes(ok(c.cmd, c.args)), c.codes) << c.cmd << " " << c.args.dump();
}

// get_locations refuses a row it cannot read; get_all_locations lists it with
// empty text in place of what it cannot read.
TEST_F(LocationsTest, StrictAndLenientRowReading) {
  add("w1", "A-01");
  struct Case {
    std::string sql;
    std::string field;        // the field that reads as "" under get_all_locations
    std::string strict_error;  // empty: get_locations reads it as "" as well
  };
  const Case cases[] = {
      {"UPDATE locations SET zone = NULL", "zone", ""},
      {"UPDATE locations SET warehouse_name = NULL", "warehouse_name", ""},
      {"UPDATE locations SET warehouse_name = x'31'", "warehouse_name", ""},
      {"UPDATE locations SET created_at = NULL", "created_at", ""},
      {"UPDATE locations SET id = NULL", "id", "系统错误：Invalid column type Null at index: 0, name: id"},
      {"UPDATE locations SET description = NULL", "description", ""},
      {"UPDATE locations SET shelf = x'33'", "shelf", "系统错误：Invalid column type Blob at index: 7, name: shelf"},
  };
  for (const Case& c : cases) {
    exec("DELETE FROM locations");
    exec("INSERT INTO locations (id, warehouse_id, warehouse_name, code, name, zone, aisle, shelf, level, position, "
         "description, created_at) VALUES ('l1', 'w1', '主仓', 'A-01', '货架', 'A', '1', '2', '3', '4', 'd', "
         "'2024-01-01 00:00:00')");
    exec(c.sql);
    const Json lenient = ok("get_all_locations", nullptr);
    ASSERT_EQ(lenient.size(), 1u) << c.sql;
    EXPECT_EQ(lenient[0][c.field], "") << c.sql;
    EXPECT_EQ(lenient[0]["code"], "A-01") << c.sql;
    if (c.strict_error.empty()) {
      EXPECT_EQ(ok("get_locations", nullptr), lenient) << c.sql;
    } else {
      EXPECT_EQ(error("get_locations", nullptr), c.strict_error) << c.sql;
    }
  }
}

TEST_F(LocationsTest, FullListingOfAnOlderOrMissingTable) {
  // A table without some of today's columns: the fields it has keep their
  // values, the others are empty.
  exec("DROP TABLE locations");
  exec("CREATE TABLE locations (id TEXT PRIMARY KEY, code TEXT NOT NULL, warehouse_id TEXT NOT NULL, "
       "name TEXT NOT NULL, created_at TEXT)");
  exec("INSERT INTO locations VALUES ('l1', 'A-01', 'w1', '货架', '2024-01-01 00:00:00')");
  const Json list = ok("get_all_locations", nullptr);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0], (Json{{"id", "l1"},   {"warehouse_id", "w1"}, {"warehouse_name", ""},  {"code", "A-01"},
                           {"name", "货架"}, {"zone", ""},           {"aisle", ""},           {"shelf", ""},
                           {"level", ""},  {"position", ""},       {"description", ""},     {"created_at",
                                                                                               "2024-01-01 00:00:00"}}));
  EXPECT_EQ(error("get_locations", nullptr), "系统错误：no such column: warehouse_name");

  // No table at all: nothing to list, and the listing says so without an error.
  exec("DROP TABLE locations");
  EXPECT_EQ(ok("get_all_locations", nullptr), Json::array());
  EXPECT_EQ(error("get_locations", nullptr), "系统错误：数据库表不存在，请重新初始化数据库");
}

TEST_F(LocationsTest, DebugTextShowsCountAndCreateStatement) {
  add("w1", "A-01");
  add("w1", "A-02");
  auto sql = db::with_connection<std::string>(db::kPlainTexts, [](db::Connection& c) -> Result<std::string> {
    return c.query_text("SELECT sql FROM sqlite_master WHERE type='table' AND name='locations'");
  });
  ASSERT_TRUE(sql.ok()) << sql.error();
  ASSERT_NE(sql->find("CREATE TABLE"), std::string::npos);
  EXPECT_EQ(ok("debug_locations", nullptr), "locations表: 2 条记录\n建表语句: " + *sql);

  exec("DROP TABLE locations");
  EXPECT_EQ(ok("debug_locations", nullptr), "locations表: -1 条记录\n建表语句: ");
  EXPECT_EQ(log_entries().size(), 2u);
}

TEST_F(LocationsTest, WithoutThePermissionNothingChanges) {
  const Json l = add("w1", "A-01");
  Json renamed = l;
  renamed["name"] = "改名";
  const FailureCase cases[] = {
      {"add_location", {{"request", add_request("w1", "A-02")}}, "权限不足：没有新增库位的权限"},
      {"update_location", {{"request", renamed}}, "权限不足：没有编辑库位的权限"},
      {"delete_location", {{"locationId", l["id"]}}, "权限不足：没有删除库位的权限"},
  };
  for (const FailureCase& c : cases) EXPECT_EQ(error(c.cmd, c.args, "ghost"), c.error) << c.cmd;
  EXPECT_EQ(ok("get_locations", nullptr), Json::array({l}));
  EXPECT_EQ(log_entries().size(), 1u);
}

TEST_F(LocationsTest, LockAndConnectionTexts) {
  const Json update = {{"request", {"x", "w", "", "c", "n", "", "", "", "", "", "", ""}}};
  struct Case {
    std::string cmd;
    Json args;
    std::string poisoned, empty;  // the permission check fails first for the guarded ones
  };
  const Case cases[] = {
      {"get_locations", nullptr, "系统错误：poisoned lock: another task failed inside", "系统错误：数据库未初始化"},
      {"get_all_locations", nullptr, "系统错误：poisoned lock: another task failed inside", "系统错误：数据库未初始化"},
      {"debug_locations", nullptr, "poisoned lock: another task failed inside", "Database not initialized"},
      {"add_location", {{"request", add_request("w", "c")}}, "权限不足：没有新增库位的权限",
       "权限不足：没有新增库位的权限"},
      {"update_location", update, "权限不足：没有编辑库位的权限", "权限不足：没有编辑库位的权限"},
      {"delete_location", {{"locationId", "x"}}, "权限不足：没有删除库位的权限", "权限不足：没有删除库位的权限"},
  };
  poison_connection();
  for (const Case& c : cases) EXPECT_EQ(error(c.cmd, c.args), c.poisoned) << c.cmd;
  testing_support::reset_shared_connection();  // not poisoned, no connection
  for (const Case& c : cases) EXPECT_EQ(error(c.cmd, c.args), c.empty) << c.cmd;
}

TEST(LocationCommands, OnlyTheChangingOnesAreAnnounced) {
  for (const char* cmd : {"add_location", "update_location", "delete_location"})
    EXPECT_TRUE(is_write_command(cmd)) << cmd;
  for (const char* cmd : {"get_locations", "get_all_locations", "debug_locations"})
    EXPECT_FALSE(is_write_command(cmd)) << cmd;
}

}  // namespace
