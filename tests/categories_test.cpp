// Categories: adding, listing and deleting rows, the row reader of the
// listing, the request reading, the permission check and the log entries.
#include <gtest/gtest.h>

#include <regex>

#include "server.h"
#include "support/test_db.h"

namespace {

class CategoriesTest : public testing_support::CommandTest {
 protected:
  CategoriesTest() { caller_real_name = "管理员"; }  // not the account's own name
  static Json add(const std::string& name, const std::string& parent_id, int sort_order) {
    return ok("add_category", {{"request", {{"name", name}, {"parent_id", parent_id}, {"sort_order", sort_order}}}});
  }
  static std::vector<std::string> listed_names() {
    std::vector<std::string> names;
    for (const Json& c : ok("get_categories", Json::object())) names.push_back(c["name"]);
    return names;
  }
};

TEST_F(CategoriesTest, AddReturnsTheRowThatListsAndLogsIt) {
  EXPECT_EQ(ok("get_categories", Json::object()), Json::array());

  Json added = add("五金", "", 3);
  EXPECT_TRUE(std::regex_match(added["id"].get<std::string>(),
                               std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
  EXPECT_TRUE(std::regex_match(added["created_at"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
  EXPECT_EQ(json::write(added), R"({"created_at":")" + added["created_at"].get<std::string>() + R"(","id":")" +
                                    added["id"].get<std::string>() +
                                    R"(","name":"五金","parent_id":"","sort_order":3})");
  EXPECT_EQ(json::write(ok("get_categories", Json::object())), "[" + json::write(added) + "]");
  EXPECT_EQ(scalar("SELECT typeof(sort_order) FROM categories"), "integer");

  EXPECT_EQ(log_entries(), Json::parse(R"([["admin","管理员","添加","类别管理","添加类别: 五金"]])"));
  EXPECT_TRUE(is_write_command("add_category"));
  EXPECT_FALSE(is_write_command("get_categories"));
}

TEST_F(CategoriesTest, AddStoresWhatIsSentWithoutChecks) {
  add("", "", 0);
  add("螺丝", "no-such-category", 0);
  add("螺丝", "no-such-category", 0);
  EXPECT_EQ(listed_names(), (std::vector<std::string>{"", "螺丝", "螺丝"}));
  EXPECT_EQ(count_rows("categories WHERE parent_id = 'no-such-category'"), 2);
}

TEST_F(CategoriesTest, AddReadsTheRequestByTheRecordRules) {
  // Array form in declaration order; unknown members are ignored.
  EXPECT_EQ(ok("add_category", {{"request", {"a", "p", 7}}})["sort_order"], 7);
  EXPECT_EQ(ok("add_category", {{"request", {{"name", "b"}, {"parent_id", ""}, {"sort_order", 2}, {"x", 1}}}})["name"],
            "b");

  const std::vector<std::pair<Json, std::string>> cases = {
      {Json::object(), "invalid type: null, expected struct CreateCategoryRequest"},
      {{{"request", "x"}}, "invalid type: string \"x\", expected struct CreateCategoryRequest"},
      {{{"request", {{"name", "c"}, {"parent_id", ""}, {"sort_order", 2.5}}}},
       "invalid type: floating point `2.5`, expected i32"},
      {{{"request", {{"name", "c"}, {"parent_id", ""}, {"sort_order", 2.0}}}},
       "invalid type: floating point `2.0`, expected i32"},
      {{{"request", {{"name", "c"}, {"sort_order", 1}}}}, "missing field `parent_id`"},
      {{{"request", {{"name", "c"}, {"parent_id", nullptr}, {"sort_order", 1}}}},
       "invalid type: null, expected a string"},
      {{{"request", {"c", ""}}}, "invalid length 2, expected struct CreateCategoryRequest with 3 elements"},
  };
  for (const auto& [args, text] : cases) EXPECT_EQ(error("add_category", args), text) << json::write(args);
  EXPECT_EQ(count_rows("categories"), 2);
  EXPECT_EQ(log_entries().size(), 2u);
}

TEST_F(CategoriesTest, WritesNeedTheEditKey) {
  add("留下", "", 0);
  const std::string id = scalar("SELECT id FROM categories");
  EXPECT_EQ(error("add_category", {{"request", {"x", "", 0}}}, "nobody"), "权限不足：没有新增分类的权限");
  EXPECT_EQ(error("delete_category", {{"categoryId", id}}, "nobody"), "权限不足：没有删除分类的权限");
  EXPECT_EQ(listed_names(), std::vector<std::string>{"留下"});
  EXPECT_EQ(log_entries().size(), 1u);
}

TEST_F(CategoriesTest, ListsBySortOrderThenNameInByteOrder) {
  add("b", "", 1);
  add("B", "", 1);
  add("a", "", 1);
  add("z", "", -1);
  add("中", "", 0);
  add("y", "", 0);
  EXPECT_EQ(listed_names(), (std::vector<std::string>{"z", "y", "中", "B", "a", "b"}));
}

TEST_F(CategoriesTest, ListingReadsNullParentAndSortOrderAsDefaults) {
  exec("INSERT INTO categories (id, name, parent_id, sort_order, created_at) VALUES ('c1', 'n', NULL, NULL, 't')");
  EXPECT_EQ(json::write(ok("get_categories", Json::object())),
            R"([{"created_at":"t","id":"c1","name":"n","parent_id":"","sort_order":0}])");
}

TEST_F(CategoriesTest, ListingFailsOnAMistypedColumn) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"NULL, 'n', '', 0, 't'", "系统错误：Invalid column type Null at index: 0, name: id"},
      {"'c1', X'6E', '', 0, 't'", "系统错误：Invalid column type Blob at index: 1, name: name"},
      {"'c1', 'n', X'00', 0, 't'", "系统错误：Invalid column type Blob at index: 2, name: parent_id"},
      {"'c1', 'n', '', 'first', 't'", "系统错误：Invalid column type Text at index: 3, name: sort_order"},
      {"'c1', 'n', '', 2.5, 't'", "系统错误：Invalid column type Real at index: 3, name: sort_order"},
      {"'c1', 'n', '', 2147483648, 't'", "系统错误：Integer 2147483648 out of range at index 3"},
      {"'c1', 'n', '', 0, NULL", "系统错误：Invalid column type Null at index: 4, name: created_at"},
  };
  for (const auto& [values, text] : cases) {
    exec("DELETE FROM categories");
    add("good", "", -5);  // listed before the bad row, and dropped with it
    exec("INSERT INTO categories (id, name, parent_id, sort_order, created_at) VALUES (" + values + ")");
    EXPECT_EQ(error("get_categories", Json::object()), text) << values;
  }
}

TEST_F(CategoriesTest, DeleteRemovesTheRowAloneAndLogsItsName) {
  const std::string parent = add("父", "", 0)["id"];
  add("子", parent, 1);
  EXPECT_EQ(ok("delete_category", {{"categoryId", parent}}), "删除成功");
  Json left = ok("get_categories", Json::object());
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]["parent_id"], parent);
  EXPECT_EQ(log_entries().back(), Json::parse(R"(["admin","管理员","删除","类别管理","删除类别: '父'"])"));
  EXPECT_TRUE(is_write_command("delete_category"));
}

TEST_F(CategoriesTest, DeleteOfAnUnknownOrMissingIdSucceedsWithAnEmptyName) {
  exec("INSERT INTO categories (id, name) VALUES ('', 'blank id')");
  add("keep", "", 0);
  EXPECT_EQ(ok("delete_category", {{"categoryId", "no-such-id"}}), "删除成功");
  EXPECT_EQ(log_entries().back()[4], "删除类别: ''");
  EXPECT_EQ(count_rows("categories"), 2);
  // Without categoryId the id is "": the row with the empty id goes.
  EXPECT_EQ(ok("delete_category", Json::object()), "删除成功");
  EXPECT_EQ(log_entries().back()[4], "删除类别: 'blank id'");
  EXPECT_EQ(listed_names(), std::vector<std::string>{"keep"});
}

TEST_F(CategoriesTest, BrokenConnectionTexts) {
  poison_connection();
  EXPECT_EQ(error("get_categories", Json::object()), "系统错误：poisoned lock: another task failed inside");
  testing_support::reset_shared_connection();
  EXPECT_EQ(error("get_categories", Json::object()), "系统错误：数据库未初始化");
  // The writing commands meet the broken state in the permission check.
  EXPECT_EQ(error("add_category", {{"request", {"x", "", 0}}}), "权限不足：没有新增分类的权限");
}

}  // namespace
