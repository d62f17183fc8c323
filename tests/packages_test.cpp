// Product packages: adding with the stored sharing text, the two listings
// (owner, sharing products, the join on products), the row reader, the
// request reading, deleting, the permission check and the log entries.
#include <gtest/gtest.h>

#include <algorithm>

#include "server.h"
#include "support/test_db.h"

namespace {

class PackagesTest : public testing_support::CommandTest {
 protected:
  PackagesTest() { caller_real_name = "管理员"; }  // not the account's own name
  void SetUp() override {
    CommandTest::SetUp();
    for (const char* id : {"pa", "pb", "pc", "pd"}) {
      exec(std::string("INSERT INTO products (id, name, code) VALUES ('") + id + "', '商品" + id + "', '" + id + "')");
    }
  }

  static Json request(const std::string& product, const std::string& name, bool shared, const Json& sharing,
                      int sort_order = 0) {
    return {{"product_id", product}, {"package_name", name}, {"package_code", "C-" + name},
            {"quantity", 12},        {"is_shared", shared},  {"shared_products", sharing},
            {"sort_order", sort_order}};
  }
  static Json add(const Json& req) { return ok("add_product_package", {{"request", req}}); }

  // The package names that a listing answers, in its order.
  static std::vector<std::string> names(const Json& packages) {
    std::vector<std::string> out;
    for (const Json& p : packages) out.push_back(p["package_name"]);
    return out;
  }
  static std::vector<std::string> listed_for(const Json& args) { return names(ok("get_product_packages", args)); }
};

TEST_F(PackagesTest, AddReturnsThePackageThatListsAndLogsIt) {
  Json added = add(request("pa", "箱", true, {"pb", "p\"c"}, 4));
  const std::string id = added["id"], created = added["created_at"];
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(json::write(added),
            R"({"created_at":")" + created + R"(","id":")" + id +
                R"(","is_shared":true,"package_code":"C-箱","package_name":"箱","product_id":"pa",)"
                R"("product_name":"商品pa","quantity":12,"shared_products":"[\"pb\",\"p\\\"c\"]","sort_order":4})");
  EXPECT_EQ(json::write(ok("get_all_packages", Json::object())), "[" + json::write(added) + "]");
  EXPECT_EQ(json::write(ok("get_product_packages", {{"productId", "pa"}})), "[" + json::write(added) + "]");

  // Stored: the compact JSON text, and integers in the integer columns.
  EXPECT_EQ(scalar("SELECT shared_products FROM product_packages"), R"(["pb","p\"c"])");
  EXPECT_EQ(scalar("SELECT typeof(quantity) || typeof(is_shared) || is_shared || typeof(sort_order) "
                   "FROM product_packages"),
            "integerinteger1integer");

  EXPECT_EQ(log_entries(), Json::parse(R"x([["admin","管理员","添加","包件管理","添加包件: 箱 (商品: 商品pa)"]])x"));
  EXPECT_TRUE(is_write_command("add_product_package"));
  EXPECT_FALSE(is_write_command("get_all_packages"));
  EXPECT_FALSE(is_write_command("get_product_packages"));
}

TEST_F(PackagesTest, AddStoresEdgeValuesAsSent) {
  Json added = add({{"product_id", "pa"}, {"package_name", ""}, {"package_code", ""}, {"quantity", -3},
                    {"is_shared", false}, {"shared_products", Json::array()}, {"sort_order", -1}});
  EXPECT_EQ(added["shared_products"], "[]");
  EXPECT_EQ(added["is_shared"], false);
  Json listed = ok("get_all_packages", Json::object());
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0], added);
  EXPECT_EQ(scalar("SELECT quantity || '/' || is_shared || '/' || shared_products FROM product_packages"), "-3/0/[]");
}

TEST_F(PackagesTest, AddForAnUnknownProductStoresNothing) {
  EXPECT_EQ(error("add_product_package", {{"request", request("nope", "箱", false, Json::array())}}),
            "操作失败：未找到对应的数据记录");
  EXPECT_EQ(count_rows("product_packages"), 0);
  EXPECT_EQ(log_entries(), Json::array());
}

TEST_F(PackagesTest, AddReadsTheRequestByTheRecordRules) {
  EXPECT_EQ(ok("add_product_package", {{"request", {"pa", "n", "c", 1, true, {"pb"}, 2}}})["sort_order"], 2);

  auto with = [](const char* key, Json value) {
    Json r = request("pa", "箱", false, Json::array());
    r[key] = std::move(value);
    return Json{{"request", r}};
  };
  const std::vector<std::pair<Json, std::string>> cases = {
      {Json::object(), "invalid type: null, expected struct CreatePackageRequest"},
      {{{"request", {{"product_id", "pa"}}}}, "missing field `package_name`"},
      {{{"request", {"pa"}}}, "invalid length 1, expected struct CreatePackageRequest with 7 elements"},
      {with("shared_products", "pb"), "invalid type: string \"pb\", expected a sequence"},
      {with("shared_products", {"pb", 5}), "invalid type: integer `5`, expected a string"},
      {with("is_shared", 1), "invalid type: integer `1`, expected a boolean"},
      {with("quantity", 1.5), "invalid type: floating point `1.5`, expected i32"},
      {with("sort_order", nullptr), "invalid type: null, expected i32"},
  };
  for (const auto& [args, text] : cases) EXPECT_EQ(error("add_product_package", args), text) << json::write(args);
  EXPECT_EQ(count_rows("product_packages"), 1);
}

TEST_F(PackagesTest, ProductListsItsOwnAndTheSharedPackagesThatNameIt) {
  add(request("pa", "共享", true, {"pb", "pc"}, 2));
  add(request("pa", "未共享", false, {"pb"}, 1));  // the text is kept but not used
  add(request("pd", "独有", false, Json::array(), 3));
  exec("INSERT INTO product_packages (id, product_id, package_name, package_code, created_at) "
       "VALUES ('blank', '', '空主', 'X', 't')");  // owner "" has no product row

  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"pa", {"未共享", "共享"}},
      {"pb", {"共享"}},
      {"pc", {"共享"}},
      {"PC", {"共享"}},  // the text search ignores ASCII case
      {"pd", {"独有"}},
      {"zz", {}},
  };
  for (const auto& [product, expected] : cases) {
    EXPECT_EQ(listed_for({{"productId", product}}), expected) << product;
  }
  // Without productId: every shared package, and the packages owned by "" once
  // a product with that id exists (both listings join the owner).
  EXPECT_EQ(listed_for(Json::object()), std::vector<std::string>{"共享"});
  EXPECT_EQ(names(ok("get_all_packages", Json::object())), (std::vector<std::string>{"未共享", "共享", "独有"}));
  exec("INSERT INTO products (id, name, code) VALUES ('', '无编号', 'blank')");
  EXPECT_EQ(listed_for(Json::object()), (std::vector<std::string>{"空主", "共享"}));
}

TEST_F(PackagesTest, PackagesOfAGoneProductStayButAreNotListed) {
  add(request("pa", "箱", true, {"pb"}));
  exec("DELETE FROM products WHERE id = 'pa'");
  EXPECT_EQ(ok("get_all_packages", Json::object()), Json::array());
  EXPECT_EQ(listed_for({{"productId", "pb"}}), std::vector<std::string>{});
  EXPECT_EQ(count_rows("product_packages"), 1);
}

TEST_F(PackagesTest, ListingsOrderBySortOrder) {
  add(request("pa", "三", false, Json::array(), 3));
  add(request("pa", "负", false, Json::array(), -2));
  add(request("pa", "零", false, Json::array(), 0));
  const std::vector<std::string> expected{"负", "零", "三"};
  EXPECT_EQ(names(ok("get_all_packages", Json::object())), expected);
  EXPECT_EQ(listed_for({{"productId", "pa"}}), expected);
}

TEST_F(PackagesTest, RowReaderOfBothListings) {
  const std::string insert =
      "INSERT INTO product_packages (id, product_id, package_name, package_code, quantity, is_shared, "
      "shared_products, sort_order, created_at) VALUES ";
  // Read: any non-zero is_shared is true, a NULL shared_products is "".
  exec(insert + "('k1', 'pa', 'n', 'c', 1, 7, NULL, 0, 't')");
  for (const Json& listed : {ok("get_all_packages", Json::object()), ok("get_product_packages", {{"productId", "pa"}})}) {
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["is_shared"], true);
    EXPECT_EQ(listed[0]["shared_products"], "");
  }

  const std::vector<std::pair<std::string, std::string>> failing = {
      {"('k2', 'pa', X'6E', 'c', 1, 0, '[]', 0, 't')", "系统错误：Invalid column type Blob at index: 3, name: package_name"},
      {"('k2', 'pa', 'n', 'c', NULL, 0, '[]', 0, 't')", "系统错误：Invalid column type Null at index: 5, name: quantity"},
      {"('k2', 'pa', 'n', 'c', 1.5, 0, '[]', 0, 't')", "系统错误：Invalid column type Real at index: 5, name: quantity"},
      {"('k2', 'pa', 'n', 'c', 1, 'yes', '[]', 0, 't')", "系统错误：Invalid column type Text at index: 6, name: is_shared"},
      {"('k2', 'pa', 'n', 'c', 1, 4294967296, '[]', 0, 't')", "系统错误：Integer 4294967296 out of range at index 6"},
      {"('k2', 'pa', 'n', 'c', 1, 0, X'00', 0, 't')", "系统错误：Invalid column type Blob at index: 7, name: shared_products"},
      {"('k2', 'pa', 'n', 'c', 1, 0, '[]', NULL, 't')", "系统错误：Invalid column type Null at index: 8, name: sort_order"},
      {"('k2', 'pa', 'n', 'c', 1, 0, '[]', -2147483649, 't')", "系统错误：Integer -2147483649 out of range at index 8"},
      {"('k2', 'pa', 'n', 'c', 1, 0, '[]', 0, NULL)", "系统错误：Invalid column type Null at index: 9, name: created_at"},
  };
  for (const auto& [values, text] : failing) {
    exec(insert + values);
    EXPECT_EQ(error("get_all_packages", Json::object()), text) << values;
    EXPECT_EQ(error("get_product_packages", {{"productId", "pa"}}), text) << values;
    exec("DELETE FROM product_packages WHERE id = 'k2'");
  }
}

TEST_F(PackagesTest, DeleteRemovesThePackageAndLogsItsName) {
  const std::string id = add(request("pa", "箱", false, Json::array()))["id"];
  add(request("pa", "袋", false, Json::array()));
  EXPECT_EQ(ok("delete_product_package", {{"packageId", id}}), "删除成功");
  EXPECT_EQ(names(ok("get_all_packages", Json::object())), std::vector<std::string>{"袋"});
  EXPECT_EQ(log_entries().back(), Json::parse(R"(["admin","管理员","删除","包件管理","删除包件: '箱'"])"));

  EXPECT_EQ(ok("delete_product_package", {{"packageId", "no-such-id"}}), "删除成功");
  EXPECT_EQ(log_entries().back()[4], "删除包件: ''");
  EXPECT_EQ(count_rows("product_packages"), 1);
  EXPECT_TRUE(is_write_command("delete_product_package"));
}

TEST_F(PackagesTest, WritesNeedTheEditKey) {
  const std::string id = add(request("pa", "箱", false, Json::array()))["id"];
  EXPECT_EQ(error("add_product_package", {{"request", request("pa", "袋", false, Json::array())}}, "nobody"),
            "权限不足：没有新增包件的权限");
  EXPECT_EQ(error("delete_product_package", {{"packageId", id}}, "nobody"), "权限不足：没有删除包件的权限");
  EXPECT_EQ(count_rows("product_packages"), 1);
  EXPECT_EQ(log_entries().size(), 1u);
}

TEST_F(PackagesTest, BrokenConnectionTexts) {
  poison_connection();
  for (const char* cmd : {"get_all_packages", "get_product_packages"}) {
    EXPECT_EQ(error(cmd, Json::object()), "系统错误：poisoned lock: another task failed inside") << cmd;
  }
  EXPECT_EQ(error("delete_product_package", {{"packageId", "x"}}), "权限不足：没有删除包件的权限");
  testing_support::reset_shared_connection();
  for (const char* cmd : {"get_all_packages", "get_product_packages"}) {
    EXPECT_EQ(error(cmd, Json::object()), "系统错误：数据库未初始化") << cmd;
  }
}

}  // namespace
