// Products in bulk or by code (batch add, batch delete, get-or-create), and
// the specifications and image path of a product.
#include <gtest/gtest.h>

#include "products.h"
#include "products_fixture.h"

namespace {

using products_testing::ProductsTest;

Json codes_of(const Json& products) {
  Json codes = Json::array();
  for (const Json& p : products) codes.push_back(p["code"]);
  return codes;
}

// ---- batch_add_products -------------------------------------------------------

TEST_F(ProductsTest, BatchAddPassesOverTakenCodes) {
  EXPECT_EQ(ok("batch_add_products", {{"products", Json::array()}}), Json::array());
  add("B");

  const Json added = ok("batch_add_products", {{"products",
                                                {product_request("A"), product_request("B"), product_request("C"),
                                                 product_request("C", "重复")}}});
  EXPECT_EQ(codes_of(added), Json::parse(R"(["A","C"])"));
  EXPECT_EQ(rows("SELECT name FROM products WHERE code = 'C'"), Json::parse(R"([{"name":"螺丝"}])"));
  // One time stamp for the whole call; no log entry for a batch.
  EXPECT_EQ(added[0]["created_at"], added[1]["created_at"]);
  EXPECT_EQ(count_rows("products"), 3);
  EXPECT_EQ(count_rows("operation_logs"), 1);
}

// The answer is what was stored: the element's own optional texts, and no
// image path (a batch never takes one).
TEST_F(ProductsTest, BatchAddAnswersTheStoredProducts) {
  Json own = product_request("A");
  own.update({{"status", "停用"}, {"barcode", "690"}, {"trace_code", "T"}, {"category_id", "c1"}});
  Json bare = product_request("B");
  bare["status"] = nullptr;
  const Json added = ok("batch_add_products", {{"products", {own, bare}}});
  ASSERT_EQ(added.size(), 2u);
  const Json stored = ok("get_products", nullptr);
  for (const Json& p : added) {
    EXPECT_EQ(p["image_path"], "");
    EXPECT_EQ(stored[0]["id"] == p["id"] ? stored[0] : stored[1], p);
  }
  EXPECT_EQ(added[0]["status"], "停用");
  EXPECT_EQ(added[0]["barcode"], "690");
  EXPECT_EQ(added[1]["status"], "active");
  EXPECT_EQ(added[1]["barcode"], "");
}

TEST_F(ProductsTest, BatchAddStopsAtAFailedInsertAndKeepsTheEarlierOnes) {
  exec("CREATE TRIGGER refuse BEFORE INSERT ON products WHEN NEW.code = 'bad' "
       "BEGIN SELECT RAISE(ABORT, 'bad product'); END");
  auto r = call("batch_add_products",
                {{"products", {product_request("A"), product_request("bad"), product_request("C")}}});
  EXPECT_EQ(r.ok() ? "(added)" : r.error(), "bad product");  // the engine's text as it is
  EXPECT_EQ(rows("SELECT code FROM products"), Json::parse(R"([{"code":"A"}])"));
}

// ---- batch_delete_products ----------------------------------------------------

TEST_F(ProductsTest, BatchDeleteRemovesProductsWithEveryDependentRow) {
  const std::string a = add("A")["id"];
  const std::string b = add("B")["id"];
  add_dependents(a);
  add_dependents(b);
  exec("INSERT INTO sale_orders (id, order_no, total_amount) VALUES ('so1', 'SO1', 99.5)");

  // One product named twice and one unknown id: one product deleted.
  EXPECT_EQ(ok("batch_delete_products", {{"productIds", {a, "ghost", a}}}), "成功删除 1 个商品");
  EXPECT_EQ(rows("SELECT code FROM products"), Json::parse(R"([{"code":"B"}])"));
  for (const auto& [table, n] : dependents(a)) EXPECT_EQ(n, 0) << table;
  for (const auto& [table, n] : dependents(b)) EXPECT_EQ(n, 1) << table;
  // Order headers are left as they are.
  EXPECT_EQ(rows("SELECT total_amount FROM sale_orders"), Json::parse(R"([{"total_amount":99.5}])"));

  EXPECT_EQ(ok("batch_delete_products", {{"productIds", Json::array()}}), "成功删除 0 个商品");
  const Json log = log_entries();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[2], Json::parse(R"(["admin","管理员","批量删除商品","商品管理","批量删除1个商品（共3个ID）"])"));
  EXPECT_EQ(log[3], Json::parse(R"(["admin","管理员","批量删除商品","商品管理","批量删除0个商品（共0个ID）"])"));
}

// A file that lacks one of the dependent tables still deletes its products.
TEST_F(ProductsTest, BatchDeletePassesOverAFailingStatement) {
  const std::string a = add("A")["id"];
  add_dependents(a);
  exec("DROP TABLE stock_transactions");
  EXPECT_EQ(ok("batch_delete_products", {{"productIds", {a}}}), "成功删除 1 个商品");
  EXPECT_EQ(count_rows("products"), 0);
  EXPECT_EQ(count_rows("inventory_records"), 0);
  EXPECT_EQ(count_rows("warehouse_stock"), 0);
}

// When the engine rolls the transaction back by itself, the batch stops: the
// statements after it must not commit one by one.
TEST_F(ProductsTest, BatchDeleteStopsWhenTheTransactionIsRolledBack) {
  const std::string a = add("A")["id"];
  const std::string b = add("B")["id"];
  add_dependents(a);
  add_dependents(b);
  exec("CREATE TRIGGER refuse BEFORE DELETE ON product_documents WHEN OLD.product_id = '" + b +
       "' BEGIN SELECT RAISE(ROLLBACK, 'document is locked'); END");

  auto r = call("batch_delete_products", {{"productIds", {a, b}}});
  EXPECT_EQ(r.ok() ? "(deleted)" : r.error(), "系统错误：document is locked");
  EXPECT_EQ(count_rows("products"), 2);
  for (const std::string& id : {a, b})
    for (const auto& [table, n] : dependents(id)) EXPECT_EQ(n, 1) << table;
  EXPECT_EQ(count_rows("operation_logs"), 2);  // the two additions only
}

// ---- get_or_create_product ----------------------------------------------------

TEST_F(ProductsTest, GetOrCreateReturnsTheStoredProductOrAMinimalNewOne) {
  const Json stored = add("A");
  EXPECT_EQ(ok("get_or_create_product", {{"code", "A"}, {"name", "别的"}, {"price", 9}, {"cost", 9}, {"unit", "kg"}}),
            stored);

  Json created = ok("get_or_create_product",
                    {{"code", "N"}, {"name", "新品"}, {"price", 3}, {"cost", 1.5}, {"unit", "件"}});
  EXPECT_EQ(created["id"].get<std::string>().size(), 36u);
  const Json expected = {
      {"id", created["id"]},   {"created_at", created["created_at"]},
      {"name", "新品"},        {"code", "N"},
      {"unit", "件"},          {"price", 3.0},
      {"cost", 1.5},           {"stock", 0.0},
      {"stock_unit2", 0.0},    {"unit_rate", 1.0},
      {"status", "active"},    {"category", ""},
      {"unit2", ""},           {"batch_no", ""},
      {"production_date", ""}, {"expiry_date", ""},
      {"brand", ""},           {"model", ""},
      {"package_type", ""},    {"description", ""},
      {"image_path", ""},      {"warehouse_id", ""},
      {"location_id", ""},     {"barcode", ""},
      {"trace_code", ""},      {"category_id", ""}};
  EXPECT_EQ(json::write(created), json::write(expected));
  // The row reads back as the answer (its category holds no value).
  EXPECT_EQ(ok("get_or_create_product", {{"code", "N"}}), created);
  EXPECT_EQ(rows("SELECT category FROM products WHERE code = 'N'"), Json::parse(R"([{"category":null}])"));

  // A numeric text is no number; no code is the empty code.
  const Json no_code = ok("get_or_create_product", {{"name", "无码"}, {"price", "12"}});
  EXPECT_EQ(no_code["code"], "");
  EXPECT_EQ(no_code["price"], 0.0);
  EXPECT_EQ(ok("get_or_create_product", Json::object())["id"], no_code["id"]);
  EXPECT_EQ(count_rows("products"), 3);
  EXPECT_EQ(count_rows("operation_logs"), 1);
}

TEST_F(ProductsTest, GetOrCreateWithAnUnreadableRowFailsOnTheTakenCode) {
  add("A");
  exec("UPDATE products SET price = NULL");
  EXPECT_EQ(call("get_or_create_product", {{"code", "A"}}).error(), "操作失败：商品编码已存在，请使用其他编码");
  EXPECT_EQ(count_rows("products"), 1);
}

// A file whose production_date came from a later upgrade has it as its last
// column; the product is still read field by field.
TEST_F(ProductsTest, GetOrCreateReadsFilesWithColumnsInAnotherOrder) {
  exec("DROP TABLE products");
  exec("CREATE TABLE products (id TEXT PRIMARY KEY, name TEXT NOT NULL, code TEXT UNIQUE NOT NULL, category TEXT, "
       "unit TEXT DEFAULT '', unit2 TEXT DEFAULT '', price REAL DEFAULT 0.0, cost REAL DEFAULT 0.0, "
       "stock REAL DEFAULT 0.0, stock_unit2 REAL DEFAULT 0.0, batch_no TEXT DEFAULT '', "
       "expiry_date TEXT DEFAULT '', brand TEXT DEFAULT '', model TEXT DEFAULT '', package_type TEXT DEFAULT '', "
       "description TEXT, image_path TEXT DEFAULT '', warehouse_id TEXT DEFAULT '', location_id TEXT DEFAULT '', "
       "created_at TEXT, barcode TEXT DEFAULT '', trace_code TEXT DEFAULT '', status TEXT DEFAULT 'active', "
       "category_id TEXT DEFAULT '', unit_rate REAL DEFAULT 1.0, production_date TEXT DEFAULT '')");
  exec("INSERT INTO products (id, name, code, category, price, cost, stock, expiry_date, created_at, barcode, "
       "unit_rate, production_date) VALUES ('p1', '旧品', 'OLD', '类', 2, 1, 5, '2026-01-01', "
       "'2024-05-06 07:08:09', '690', 6, '2024-01-01')");
  const Json p = ok("get_or_create_product", {{"code", "OLD"}});
  EXPECT_EQ(p["id"], "p1");
  EXPECT_EQ(p["production_date"], "2024-01-01");
  EXPECT_EQ(p["expiry_date"], "2026-01-01");
  EXPECT_EQ(p["created_at"], "2024-05-06 07:08:09");
  EXPECT_EQ(p["barcode"], "690");
  EXPECT_EQ(p["unit_rate"], 6.0);
  EXPECT_EQ(ok("get_products", nullptr), Json::array({p}));
}

// ---- specifications and image ---------------------------------------------------

Json spec_request(const std::string& product, Json price, Json stock) {
  return {{"product_id", product}, {"spec_name", "颜色"}, {"spec_value", "红"}, {"price", price}, {"stock", stock}};
}

TEST_F(ProductsTest, SpecificationsAreAddedListedOldestFirstChangedAndDeleted) {
  EXPECT_EQ(ok("get_product_specs", {{"productId", "p1"}}), Json::array());
  const Json first = ok("add_product_spec", {{"request", spec_request("p1", 12.5, 3)}});
  EXPECT_EQ(first.size(), 7u);
  EXPECT_EQ(first["stock"], 3.0);
  EXPECT_EQ(json::write(first["price"]), "12.5");
  // The array form reads as the object form; a fractional stock is kept.
  const Json second = ok("add_product_spec", {{"request", {"p1", "尺寸", "大", 1, 2.5}}});
  ok("add_product_spec", {{"request", spec_request("other", 1, 1)}});
  exec("UPDATE product_specs SET created_at = '2024-01-01 00:00:00' WHERE id = '" +
       second["id"].get<std::string>() + "'");

  Json listed = ok("get_product_specs", {{"productId", "p1"}});
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0]["spec_name"], "尺寸");
  EXPECT_EQ(listed[0]["stock"], 2.5);
  EXPECT_EQ(listed[1], first);
  EXPECT_EQ(rows("SELECT typeof(stock) AS s FROM product_specs WHERE id = ?1", first["id"].get<std::string>()),
            Json::parse(R"([{"s":"integer"}])"));

  const Json change = {{"id", first["id"]}, {"spec_name", "颜色"}, {"spec_value", "蓝"}, {"price", 8}, {"stock", 4}};
  EXPECT_EQ(ok("update_product_spec", {{"request", change}}), "更新成功");
  listed = ok("get_product_specs", {{"productId", "p1"}});
  EXPECT_EQ(listed[1]["spec_value"], "蓝");
  EXPECT_EQ(listed[1]["price"], 8.0);
  EXPECT_EQ(listed[1]["product_id"], "p1");
  EXPECT_EQ(listed[1]["created_at"], first["created_at"]);

  EXPECT_EQ(ok("delete_product_spec", {{"specId", first["id"]}}), "删除成功");
  EXPECT_EQ(ok("get_product_specs", {{"productId", "p1"}}).size(), 1u);
  // Without a product id, the empty one is looked for.
  EXPECT_EQ(ok("get_product_specs", {{"productId", 5}}), Json::array());
  EXPECT_EQ(count_rows("operation_logs"), 0);
}

TEST_F(ProductsTest, UnknownIdsStillSucceedAndChangeNothing) {
  ok("add_product_spec", {{"request", spec_request("p1", 1, 1)}});
  const Json p = add("A");
  const Json change = {{"id", "ghost"}, {"spec_name", "x"}, {"spec_value", "x"}, {"price", 0}, {"stock", 0}};
  EXPECT_EQ(ok("update_product_spec", {{"request", change}}), "更新成功");
  EXPECT_EQ(ok("delete_product_spec", {{"specId", "ghost"}}), "删除成功");
  EXPECT_EQ(ok("update_product_image", {{"request", {"ghost", "x.png"}}}), "图片更新成功");
  EXPECT_EQ(rows("SELECT spec_name FROM product_specs"), Json::parse(R"([{"spec_name":"颜色"}])"));
  EXPECT_EQ(ok("get_products", nullptr), Json::array({p}));
}

TEST_F(ProductsTest, UpdateProductImageSetsThePathAsSent) {
  const std::string id = add("A")["id"];
  for (const char* path : {"D:\\图片\\a.png", ""}) {
    EXPECT_EQ(ok("update_product_image", {{"request", {{"product_id", id}, {"image_path", path}}}}), "图片更新成功");
    EXPECT_EQ(ok("get_products", nullptr)[0]["image_path"], path);
  }
  EXPECT_EQ(count_rows("operation_logs"), 1);
}

TEST_F(ProductsTest, AnUnreadableSpecificationFailsTheWholeList) {
  ok("add_product_spec", {{"request", spec_request("p1", 1, 1)}});
  ok("add_product_spec", {{"request", spec_request("p1", 2, 2)}});
  exec("UPDATE product_specs SET price = NULL WHERE price = 2");
  EXPECT_EQ(call("get_product_specs", {{"productId", "p1"}}).error(),
            "Invalid column type Null at index: 4, name: price");
}

}  // namespace
