// The single-product commands (add, update, list, delete), the two readers of
// a products row, the reading of the product records, and the failure texts
// and change announcements of every product command.
#include <gtest/gtest.h>

#include "products.h"
#include "products_fixture.h"
#include "server.h"

namespace {

using products_testing::ProductsTest;

// A request with one member replaced (null: removed).
Json with(Json j, const std::string& key, Json v) {
  if (v.is_null()) j.erase(key);
  else j[key] = std::move(v);
  return j;
}

TEST_F(ProductsTest, BadRecordsAreRefusedBeforeAnythingHappens) {
  const Json req = ProductsTest::product_request("P1");
  Json req_array = Json::array();
  for (const char* k : {"name", "code", "category", "unit", "unit2", "price", "cost", "stock", "stock_unit2",
                        "batch_no", "production_date", "expiry_date", "brand", "model", "package_type",
                        "description", "image_path", "warehouse_id", "location_id"})
    req_array.push_back(req[k]);
  for (int i = 0; i < 4; ++i) req_array.push_back(nullptr);
  req_array.push_back(1);
  Json short_array = req_array;
  short_array.erase(short_array.size() - 1);
  Json long_array = req_array;
  long_array.push_back("x");

  Json product = req;
  product["id"] = "x";
  product["created_at"] = "";
  product["barcode"] = product["trace_code"] = product["status"] = product["category_id"] = "";

  struct Case {
    std::string cmd;
    Json args;
    std::string user;
    std::string error;
  };
  const Case cases[] = {
      {"add_product", Json::object(), "admin", "invalid type: null, expected struct AddProductRequest"},
      {"add_product", {{"request", with(req, "unit_rate", nullptr)}}, "admin", "missing field `unit_rate`"},
      {"add_product", {{"request", with(with(req, "name", nullptr), "unit_rate", nullptr)}}, "admin",
       "missing field `name`"},
      // Wrong kinds are found while the members are taken, absent fields afterwards.
      {"add_product", {{"request", with(with(req, "name", nullptr), "unit_rate", "1")}}, "admin",
       "invalid type: string \"1\", expected f64"},
      {"add_product", {{"request", with(with(req, "name", 5), "price", "2")}}, "admin",
       "invalid type: integer `5`, expected a string"},
      {"add_product", {{"request", with(req, "barcode", 123)}}, "admin",
       "invalid type: integer `123`, expected a string"},
      {"add_product", {{"request", with(with(req, "name", nullptr), "Name", "n")}}, "admin", "missing field `name`"},
      {"add_product", {{"request", short_array}}, "admin",
       "invalid length 23, expected struct AddProductRequest with 24 elements"},
      {"add_product", {{"request", long_array}}, "admin", "invalid length 25, expected fewer elements in array"},
      // A reading error wins over the missing permission.
      {"add_product", {{"request", with(req, "stock", nullptr)}}, "stranger", "missing field `stock`"},
      {"batch_add_products", Json::object(), "admin", "invalid type: null, expected a sequence"},
      {"batch_add_products", {{"products", req}}, "admin", "invalid type: map, expected a sequence"},
      {"batch_add_products", {{"products", {req, 7}}}, "admin",
       "invalid type: integer `7`, expected struct AddProductRequest"},
      {"batch_delete_products", Json::object(), "admin", "invalid type: null, expected a sequence"},
      {"batch_delete_products", {{"productIds", {"a", 1}}}, "admin", "invalid type: integer `1`, expected a string"},
      {"update_product", Json::object(), "admin", "invalid type: null, expected struct Product"},
      {"update_product", {{"product", "p"}}, "admin", "invalid type: string \"p\", expected struct Product"},
      {"update_product", {{"product", with(product, "unit_rate", nullptr)}}, "admin", "missing field `unit_rate`"},
      {"update_product", {{"product", with(product, "stock", nullptr)}}, "admin", "missing field `stock`"},
      {"update_product", {{"product", with(product, "barcode", nullptr)}}, "admin", "missing field `barcode`"},
      {"update_product", {{"product", with(with(product, "cost", "a"), "price", "b")}}, "admin",
       "invalid type: string \"a\", expected f64"},
      {"update_product", {{"product", Json::array()}}, "admin",
       "invalid length 0, expected struct Product with 26 elements"},
      {"add_product_spec", {{"request", {{"product_id", "p"}, {"spec_name", "n"}, {"spec_value", "v"}, {"price", 1}}}},
       "admin", "missing field `stock`"},
      {"add_product_spec",
       {{"request", {{"product_id", "p"}, {"spec_name", "n"}, {"spec_value", "v"}, {"price", 1}, {"stock", "3"}}}},
       "admin", "invalid type: string \"3\", expected f64"},
      {"update_product_spec",
       {{"request", {{"product_id", "p"}, {"spec_name", "n"}, {"spec_value", "v"}, {"price", 1}, {"stock", 3}}}},
       "admin", "missing field `id`"},
      {"update_product_image", {{"request", {"p"}}}, "admin",
       "invalid length 1, expected struct UpdateProductImageRequest with 2 elements"},
      {"update_product_image", Json::object(), "admin", "invalid type: null, expected struct UpdateProductImageRequest"},
  };
  for (const Case& c : cases) {
    auto r = call(c.cmd, c.args, c.user);
    EXPECT_FALSE(r.ok()) << c.cmd << " " << c.args.dump();
    if (!r.ok()) EXPECT_EQ(r.error(), c.error) << c.cmd << " " << c.args.dump();
  }
  EXPECT_EQ(count_rows("products"), 0);
  EXPECT_EQ(count_rows("product_specs"), 0);
  EXPECT_EQ(count_rows("operation_logs"), 0);
}

TEST(ProductRecord, RoundTripsThroughItsJsonForm) {
  Product p{"id1", "名", "C1", "类", "个", "箱", 2.5, 1, 12, 0, "B", "2024-01-01", "2025-01-01", "牌", "M",
            "盒", "说明", "i.png", "w", "l", "690", "T", "active", "cat", 1, "2024-05-06 07:08:09"};
  const std::string wire = json::write(to_json_value(p));
  EXPECT_EQ(wire,
            R"({"barcode":"690","batch_no":"B","brand":"牌","category":"类","category_id":"cat","code":"C1",)"
            R"("cost":1.0,"created_at":"2024-05-06 07:08:09","description":"说明","expiry_date":"2025-01-01",)"
            R"("id":"id1","image_path":"i.png","location_id":"l","model":"M","name":"名","package_type":"盒",)"
            R"("price":2.5,"production_date":"2024-01-01","status":"active","stock":12.0,"stock_unit2":0.0,)"
            R"("trace_code":"T","unit":"个","unit2":"箱","unit_rate":1.0,"warehouse_id":"w"})");
  auto parsed = json::parse(wire);
  std::string error;
  auto back = read_record<Product>(std::get<Json>(parsed), error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(json::write(to_json_value(*back)), wire);

  // The array form is the declaration order: id first, created_at last.
  Json array = Json::array();
  for (const Field<Product>& f : record_of<Product>.fields) array.push_back(to_json_value(p)[std::string(f.key)]);
  EXPECT_EQ(array.front(), "id1");
  EXPECT_EQ(array.back(), "2024-05-06 07:08:09");
  auto from_array = read_record<Product>(array, error);
  ASSERT_TRUE(from_array) << error;
  EXPECT_EQ(json::write(to_json_value(*from_array)), wire);
  array.push_back(1);
  EXPECT_FALSE(read_record<Product>(array, error));
  EXPECT_EQ(error, "invalid length 27, expected fewer elements in array");
}

TEST_F(ProductsTest, AddProductStoresAndAnswersTheSameProductAndLogsIt) {
  const Json added = add("P1");
  ASSERT_EQ(added.size(), 26u);
  EXPECT_EQ(added["id"].get<std::string>().size(), 36u);
  EXPECT_EQ(added["created_at"].get<std::string>().size(), 19u);
  EXPECT_EQ(added["image_path"], "img/p.png");
  EXPECT_EQ(added["unit_rate"], 12.0);
  EXPECT_EQ(ok("get_products", nullptr), Json::array({added}));
  EXPECT_EQ(log_entries(), Json::parse(R"([["admin","管理员","添加商品","商品管理","商品'螺丝' 编码P1"]])"));

  // Numbers land in the REAL columns as reals, whole or not.
  const Json stored = rows("SELECT typeof(price) AS p, typeof(stock) AS s, typeof(unit_rate) AS r FROM products");
  EXPECT_EQ(stored[0], Json::parse(R"({"p":"real","r":"real","s":"real"})"));
}

TEST_F(ProductsTest, AddProductFillsTheOptionalTexts) {
  struct Case {
    Json optional;  // the optional members sent
    const char* barcode;
    const char* trace_code;
    const char* status;
    const char* category_id;
  };
  const Case cases[] = {
      {Json::object(), "", "", "active", ""},
      {{{"status", nullptr}, {"barcode", nullptr}}, "", "", "active", ""},
      {{{"status", ""}}, "", "", "", ""},
      {{{"status", "停用"}, {"barcode", "690"}, {"trace_code", "T1"}, {"category_id", "c1"}}, "690", "T1", "停用", "c1"},
  };
  int n = 0;
  for (const Case& c : cases) {
    Json req = ProductsTest::product_request("P" + std::to_string(n++));
    req.update(c.optional);
    const Json added = ok("add_product", {{"request", req}});
    const Json stored = rows("SELECT barcode, trace_code, status, category_id FROM products WHERE id = ?1",
                             added["id"].get<std::string>());
    for (const Json& got : {added, stored[0]}) {
      EXPECT_EQ(got["barcode"], c.barcode) << c.optional.dump();
      EXPECT_EQ(got["trace_code"], c.trace_code) << c.optional.dump();
      EXPECT_EQ(got["status"], c.status) << c.optional.dump();
      EXPECT_EQ(got["category_id"], c.category_id) << c.optional.dump();
    }
  }
}

TEST_F(ProductsTest, AddProductRefusesATakenCodeTheEmptyOneIncluded) {
  add("P1");
  add("");
  for (const char* code : {"P1", ""}) {
    auto r = call("add_product", {{"request", ProductsTest::product_request(code, "另一个")}});
    EXPECT_EQ(r.error(), "商品编码 '" + std::string(code) + "' 已存在，请使用其他编码");
  }
  EXPECT_EQ(count_rows("products"), 2);
  EXPECT_EQ(count_rows("operation_logs"), 2);
  // Codes compare exactly.
  add("p1");
  EXPECT_EQ(count_rows("products"), 3);
}

TEST_F(ProductsTest, UpdateProductWritesAllButImageAndCreationTime) {
  const Json a = add("A");
  const Json b = add("B", "垫片");

  Json changed = a;
  changed["name"] = "新螺丝";
  changed["price"] = 3;
  changed["status"] = "停用";
  changed["image_path"] = "other.png";
  changed["created_at"] = "2000-01-01 00:00:00";
  const Json answer = ok("update_product", {{"product", changed}});
  EXPECT_EQ(answer, changed);  // echoed as sent

  Json expected = changed;
  expected["price"] = 3.0;
  expected["image_path"] = a["image_path"];
  expected["created_at"] = a["created_at"];
  const Json listed = ok("get_products", nullptr);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0]["id"] == a["id"] ? listed[0] : listed[1], expected);

  // Keeping its own code is fine; taking another product's is not.
  Json takes_b = changed;
  takes_b["code"] = "B";
  EXPECT_EQ(call("update_product", {{"product", takes_b}}).error(), "商品编码 'B' 已被其他商品使用，请使用其他编码");

  // An unknown id changes nothing, and still succeeds and logs.
  Json ghost = b;
  ghost["id"] = "ghost";
  ghost["code"] = "G";
  EXPECT_EQ(ok("update_product", {{"product", ghost}}), ghost);
  EXPECT_EQ(rows("SELECT code FROM products ORDER BY code"), Json::parse(R"([{"code":"A"},{"code":"B"}])"));
  EXPECT_EQ(log_entries(), Json::parse(R"([["admin","管理员","添加商品","商品管理","商品'螺丝' 编码A"],
                                    ["admin","管理员","添加商品","商品管理","商品'垫片' 编码B"],
                                    ["admin","管理员","编辑商品","商品管理","商品'新螺丝' 编码A"],
                                    ["admin","管理员","编辑商品","商品管理","商品'垫片' 编码G"]])"));
}

TEST_F(ProductsTest, GetProductsListsNewestFirst) {
  EXPECT_EQ(ok("get_products", nullptr), Json::array());
  for (const char* code : {"old", "new", "mid"}) add(code);
  exec("UPDATE products SET created_at = CASE code WHEN 'old' THEN '2024-01-01 00:00:00' "
       "WHEN 'mid' THEN '2024-06-01 00:00:00' ELSE '2025-01-01 00:00:00' END");
  Json codes = Json::array();
  for (const Json& p : ok("get_products", nullptr)) codes.push_back(p["code"]);
  EXPECT_EQ(codes, Json::parse(R"(["new","mid","old"])"));
  EXPECT_EQ(count_rows("operation_logs"), 3);  // listing logs nothing
}

// The two readers differ only in what a value of the wrong kind gives.
TEST_F(ProductsTest, RowReadersTakeNullAndMistypedColumnsAsTheirRulesSay) {
  struct Case {
    const char* assignment;  // SET clause applied to the one row
    const char* key;
    Json listed;             // what the lenient reader gives, or ...
    const char* list_error;  // ... its error
    Json strict;
    const char* strict_error;
  };
  // A text column holds only text, blobs and NULL (its affinity turns
  // numbers into text), a REAL column numbers, text that is no number, blobs
  // and NULL.
  const Case cases[] = {
      {"name = x'35'", "name", "", nullptr, nullptr, "Invalid column type Blob at index: 1, name: name"},
      {"code = x'00'", "code", "", nullptr, nullptr, "Invalid column type Blob at index: 2, name: code"},
      {"id = NULL", "id", "", nullptr, nullptr, "Invalid column type Null at index: 0, name: id"},
      {"category = NULL", "category", "", nullptr, "", nullptr},
      {"category = x'35'", "category", nullptr, "Invalid column type Blob at index: 3, name: category", nullptr,
       "Invalid column type Blob at index: 3, name: category"},
      {"unit = NULL", "unit", "", nullptr, "", nullptr},
      {"unit = x'35'", "unit", "", nullptr, nullptr, "Invalid column type Blob at index: 4, name: unit"},
      {"unit2 = NULL", "unit2", "", nullptr, "", nullptr},
      {"price = NULL", "price", 0.0, nullptr, nullptr, "Invalid column type Null at index: 6, name: price"},
      {"cost = 'abc'", "cost", 0.0, nullptr, nullptr, "Invalid column type Text at index: 7, name: cost"},
      {"stock = 7", "stock", 7.0, nullptr, 7.0, nullptr},
      {"stock = x'00'", "stock", 0.0, nullptr, nullptr, "Invalid column type Blob at index: 8, name: stock"},
      {"stock_unit2 = NULL", "stock_unit2", 0.0, nullptr, 0.0, nullptr},
      {"stock_unit2 = 'x'", "stock_unit2", nullptr, "Invalid column type Text at index: 9, name: stock_unit2",
       nullptr, "Invalid column type Text at index: 9, name: stock_unit2"},
      {"description = NULL", "description", "", nullptr, "", nullptr},
      {"location_id = x'00'", "location_id", nullptr, "Invalid column type Blob at index: 19, name: location_id",
       nullptr, "Invalid column type Blob at index: 19, name: location_id"},
      {"created_at = NULL", "created_at", "", nullptr, "", nullptr},
      {"created_at = x'00'", "created_at", "", nullptr, "", nullptr},
      {"status = NULL", "status", "", nullptr, "", nullptr},
      {"barcode = x'00'", "barcode", nullptr, "Invalid column type Blob at index: 21, name: barcode", nullptr,
       "Invalid column type Blob at index: 21, name: barcode"},
      {"name = CAST(x'61FF' AS TEXT)", "name", "", nullptr, nullptr,
       "Conversion error from type Text at index: 1, invalid utf-8 sequence of 1 bytes from index 1"},
      {"brand = CAST(x'E4B8' AS TEXT)", "brand", nullptr,
       "Conversion error from type Text at index: 13, incomplete utf-8 byte sequence from index 0", nullptr,
       "Conversion error from type Text at index: 13, incomplete utf-8 byte sequence from index 0"},
      {"unit_rate = NULL", "unit_rate", 1.0, nullptr, 1.0, nullptr},
      {"unit_rate = 'x'", "unit_rate", nullptr, "Invalid column type Text at index: 25, name: unit_rate", nullptr,
       "Invalid column type Text at index: 25, name: unit_rate"},
  };
  const std::string select = "SELECT " + std::string(kProductColumns) + " FROM products";
  for (const Case& c : cases) {
    exec("DELETE FROM products");
    add("P1");
    exec(std::string("UPDATE products SET ") + c.assignment);
    for (bool listing : {true, false}) {
      auto r = db::with_connection<Product>(db::kPlainTexts, [&](db::Connection& conn) -> Result<Product> {
        db::Statement s = conn.prepare(select);
        EXPECT_TRUE(s.step());
        return listing ? read_product_list_row(s) : read_product_row(s);
      });
      const char* want_error = listing ? c.list_error : c.strict_error;
      const Json& want = listing ? c.listed : c.strict;
      if (want_error) {
        EXPECT_EQ(r.ok() ? "(read)" : r.error(), want_error) << c.assignment << (listing ? " listing" : " strict");
      } else {
        ASSERT_TRUE(r.ok()) << c.assignment << ": " << r.error();
        EXPECT_EQ(to_json_value(*r)[c.key], want) << c.assignment << (listing ? " listing" : " strict");
      }
    }
    // get_products answers the lenient reading, or the reader's own text.
    auto listed = call("get_products", nullptr);
    if (c.list_error) EXPECT_EQ(listed.ok() ? "(read)" : listed.error(), c.list_error) << c.assignment;
    else if (listed.ok()) EXPECT_EQ((*listed)[0][c.key], c.listed) << c.assignment;
    else ADD_FAILURE() << c.assignment << ": " << listed.error();
  }
}

TEST_F(ProductsTest, DeleteProductRemovesItsMovementsAndOrderItemsOnly) {
  const Json p = add("P1");
  const std::string id = p["id"];
  add_dependents(id);
  add_dependents("other");

  EXPECT_TRUE(ok("delete_product", {{"productId", id}}).is_null());
  EXPECT_EQ(count_rows("products"), 0);
  const std::map<std::string, int64_t> left = {
      {"inventory_records", 0}, {"sale_order_items", 0}, {"purchase_order_items", 0},
      {"return_order_items", 1}, {"transfer_order_items", 1}, {"product_specs", 1},
      {"product_packages", 1},  {"product_documents", 1},  {"warehouse_stock", 1},
      {"stock_transactions", 1}};
  EXPECT_EQ(dependents(id), left);
  for (const auto& [table, n] : dependents("other")) EXPECT_EQ(n, 1) << table;

  // An unknown id succeeds too, and its log entry names no product.
  EXPECT_TRUE(ok("delete_product", {{"productId", "ghost"}}).is_null());
  EXPECT_EQ(log_entries(), Json::parse(R"([["admin","管理员","添加商品","商品管理","商品'螺丝' 编码P1"],
                                    ["admin","管理员","删除商品","商品管理","删除商品'螺丝'"],
                                    ["admin","管理员","删除商品","商品管理","删除商品''"]])"));
}

// A failing statement undoes the ones before it: no product is left without
// its movements.
TEST_F(ProductsTest, DeleteProductFailureLeavesTheProductWhole) {
  const std::string id = add("P1")["id"];
  add_dependents(id);
  exec("DROP TABLE purchase_order_items");
  EXPECT_EQ(call("delete_product", {{"productId", id}}).error(), "系统错误：数据库表不存在，请重新初始化数据库");
  EXPECT_EQ(count_rows("products"), 1);
  EXPECT_EQ(rows("SELECT COUNT(*) AS n FROM inventory_records WHERE product_id = ?1", id)[0]["n"], 1);
  EXPECT_EQ(rows("SELECT COUNT(*) AS n FROM sale_order_items WHERE product_id = ?1", id)[0]["n"], 1);
  EXPECT_EQ(count_rows("operation_logs"), 1);  // the addition only

  exec("CREATE TRIGGER refuse BEFORE DELETE ON products BEGIN SELECT RAISE(ABORT, 'product is locked'); END");
  exec("CREATE TABLE purchase_order_items (id TEXT PRIMARY KEY, product_id TEXT)");
  EXPECT_EQ(call("delete_product", {{"productId", id}}).error(), "系统错误：product is locked");
  EXPECT_EQ(rows("SELECT COUNT(*) AS n FROM inventory_records WHERE product_id = ?1", id)[0]["n"], 1);
  EXPECT_EQ(count_rows("operation_logs"), 1);
}

TEST_F(ProductsTest, GuardedCommandsRefuseUsersWithoutTheKey) {
  const Json p = add("P1");
  exec("INSERT INTO users (id, username, password, real_name, role, created_at) "
       "VALUES ('u2', 'clerk', 'x', '店员', 'employee', '2024-01-01 00:00:00')");
  struct Case {
    std::string cmd;
    Json args;
    std::string user;
    std::string error;  // empty: allowed
  };
  const Case cases[] = {
      {"add_product", {{"request", ProductsTest::product_request("P2")}}, "stranger", "权限不足：没有新增/编辑商品的权限"},
      {"update_product", {{"product", p}}, "stranger", "权限不足：没有新增/编辑商品的权限"},
      {"get_products", nullptr, "stranger", "权限不足：没有查看商品的权限"},
      {"delete_product", {{"productId", p["id"]}}, "stranger", "权限不足：没有删除商品的权限"},
      {"batch_delete_products", {{"productIds", {p["id"]}}}, "stranger", "权限不足：没有删除商品的权限"},
      // An employee may list and edit, not delete.
      {"delete_product", {{"productId", p["id"]}}, "clerk", "权限不足：没有删除商品的权限"},
      {"batch_delete_products", {{"productIds", {p["id"]}}}, "clerk", "权限不足：没有删除商品的权限"},
      {"get_products", nullptr, "clerk", ""},
      {"update_product", {{"product", p}}, "clerk", ""},
  };
  for (const Case& c : cases) {
    auto r = call(c.cmd, c.args, c.user);
    if (c.error.empty()) EXPECT_TRUE(r.ok()) << c.cmd << " " << c.user << ": " << r.error();
    else EXPECT_EQ(r.ok() ? "(allowed)" : r.error(), c.error) << c.cmd << " " << c.user;
  }
  EXPECT_EQ(count_rows("products"), 1);
  EXPECT_EQ(count_rows("operation_logs"), 2);  // the addition and the clerk's edit
}

// While the shared connection is unusable, guarded commands are refused by the
// permission check; the others answer with their module's texts.
TEST_F(ProductsTest, UnusableConnectionTexts) {
  struct Case {
    std::string cmd;
    Json args;
    std::string poisoned;
    std::string missing;
  };
  const std::string plain_poison(db::kPoisonedText);
  const std::string mapped_poison = "系统错误：" + plain_poison;
  const Json spec = {{"product_id", "p"}, {"spec_name", "n"}, {"spec_value", "v"}, {"price", 1}, {"stock", 1}};
  const Json update_spec = {{"id", "s"}, {"spec_name", "n"}, {"spec_value", "v"}, {"price", 1}, {"stock", 1}};
  const Case cases[] = {
      {"add_product", {{"request", ProductsTest::product_request("P")}}, "权限不足：没有新增/编辑商品的权限",
       "权限不足：没有新增/编辑商品的权限"},
      {"get_products", nullptr, "权限不足：没有查看商品的权限", "权限不足：没有查看商品的权限"},
      {"delete_product", {{"productId", "p"}}, "权限不足：没有删除商品的权限", "权限不足：没有删除商品的权限"},
      {"batch_delete_products", {{"productIds", {"p"}}}, "权限不足：没有删除商品的权限", "权限不足：没有删除商品的权限"},
      {"batch_add_products", {{"products", Json::array()}}, plain_poison, "Database not initialized"},
      {"get_or_create_product", {{"code", "c"}}, mapped_poison, "系统错误：数据库未初始化"},
      {"add_product_spec", {{"request", spec}}, plain_poison, "Database not initialized"},
      {"get_product_specs", {{"productId", "p"}}, plain_poison, "Database not initialized"},
      {"update_product_spec", {{"request", update_spec}}, plain_poison, "Database not initialized"},
      {"delete_product_spec", {{"specId", "s"}}, plain_poison, "Database not initialized"},
      {"update_product_image", {{"request", {"p", "i.png"}}}, plain_poison, "Database not initialized"},
  };
  poison_connection();
  for (const Case& c : cases) EXPECT_EQ(call(c.cmd, c.args).error(), c.poisoned) << c.cmd;
  testing_support::reset_shared_connection();  // not poisoned, no connection
  for (const Case& c : cases) EXPECT_EQ(call(c.cmd, c.args).error(), c.missing) << c.cmd;
}

TEST(ProductCommands, ChangesAreAnnouncedExceptForReads) {
  const std::pair<const char*, bool> cases[] = {
      {"add_product", true},           {"update_product", true},        {"delete_product", true},
      {"batch_add_products", true},    {"batch_delete_products", true}, {"add_product_spec", true},
      {"update_product_spec", true},   {"delete_product_spec", true},   {"update_product_image", true},
      {"get_products", false},         {"get_product_specs", false},    {"get_or_create_product", false},
  };
  for (const auto& [cmd, announced] : cases) EXPECT_EQ(is_write_command(cmd), announced) << cmd;
}

}  // namespace
