// Shared by the product tests: a fresh database per test, calls through the
// dispatcher, raw SQL on the shared connection, and a valid product request.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "commands.h"
#include "database.h"
#include "json.h"
#include "support/test_db.h"

namespace products_testing {

// The ten tables whose rows name a product, each with one row it accepts.
inline const std::map<std::string, std::string> kDependentRows = {
    {"inventory_records",
     "INSERT INTO inventory_records (id, product_id, product_name, change_type, quantity, before_stock, "
     "after_stock) VALUES (?1, ?2, 'n', 'in', 1, 0, 1)"},
    {"sale_order_items", "INSERT INTO sale_order_items (id, order_id, product_id) VALUES (?1, 'so1', ?2)"},
    {"purchase_order_items", "INSERT INTO purchase_order_items (id, order_id, product_id) VALUES (?1, 'po1', ?2)"},
    {"return_order_items",
     "INSERT INTO return_order_items (id, return_id, product_id, quantity) VALUES (?1, 'r1', ?2, 1)"},
    {"transfer_order_items",
     "INSERT INTO transfer_order_items (id, transfer_id, product_id, quantity) VALUES (?1, 't1', ?2, 1)"},
    {"product_specs",
     "INSERT INTO product_specs (id, product_id, spec_name, spec_value) VALUES (?1, ?2, '颜色', '红')"},
    {"product_packages",
     "INSERT INTO product_packages (id, product_id, package_name, package_code) VALUES (?1, ?2, '箱', 'X')"},
    {"product_documents",
     "INSERT INTO product_documents (id, product_id, file_name, file_data) VALUES (?1, ?2, 'a.txt', 'YQ==')"},
    {"warehouse_stock", "INSERT INTO warehouse_stock (id, product_id, warehouse_id) VALUES (?1, ?2, 'w1')"},
    {"stock_transactions",
     "INSERT INTO stock_transactions (id, product_id, transaction_type, quantity) VALUES (?1, ?2, 'in', 1)"},
};

class ProductsTest : public testing_support::DbTest {
 protected:
  // A call as the given user ("admin" holds every product key).
  static Result<Json> call(std::string_view cmd, const Json& args, const std::string& user = "admin") {
    return dispatch_command(cmd, args, user, "管理员");
  }

  // The data of a call that must succeed.
  static Json ok(std::string_view cmd, const Json& args) {
    auto r = call(cmd, args);
    EXPECT_TRUE(r.ok()) << cmd << ": " << r.error();
    return r.ok() ? *r : Json();
  }

  // Runs SQL without parameters on the shared connection.
  static void exec(const std::string& sql) {
    auto r = db::with_connection<Unit>(db::kPlainTexts, [&](db::Connection& c) -> Result<Unit> {
      c.exec(sql);
      return Unit{};
    });
    ASSERT_TRUE(r.ok()) << sql << ": " << r.error();
  }

  // Every row of a query as objects keyed by column name, values as stored.
  template <class... A>
  static Json rows(const std::string& sql, const A&... params) {
    auto r = db::with_connection<Json>(db::kPlainTexts, [&](db::Connection& c) -> Result<Json> {
      db::Statement s = c.prepare(sql);
      s.bind(params...);
      Json out = Json::array();
      while (s.step()) {
        Json row = Json::object();
        for (int i = 0; i < s.column_count(); ++i) row[s.column_name(i)] = s.value(i);
        out.push_back(row);
      }
      return out;
    });
    EXPECT_TRUE(r.ok()) << sql << ": " << r.error();
    return r.ok() ? *r : Json::array();
  }

  static int64_t count(const std::string& table) {
    return rows("SELECT COUNT(*) AS n FROM " + table)[0]["n"].get<int64_t>();
  }

  // The operation log as [action, module, detail, username, real_name] rows.
  static Json logs() {
    Json out = Json::array();
    for (const Json& r : rows("SELECT action, module, detail, username, real_name FROM operation_logs "
                              "ORDER BY created_at, rowid"))
      out.push_back({r["action"], r["module"], r["detail"], r["username"], r["real_name"]});
    return out;
  }

  // A complete, valid product creation request without the optional texts.
  static Json product_request(const std::string& code, const std::string& name = "螺丝") {
    return Json{{"name", name},
                {"code", code},
                {"category", "五金"},
                {"unit", "个"},
                {"unit2", "箱"},
                {"price", 2.5},
                {"cost", 1.25},
                {"stock", 10},
                {"stock_unit2", 1},
                {"batch_no", "B1"},
                {"production_date", "2024-01-01"},
                {"expiry_date", "2026-01-01"},
                {"brand", "牌子"},
                {"model", "M6"},
                {"package_type", "盒"},
                {"description", "描述"},
                {"image_path", "img/p.png"},
                {"warehouse_id", "w1"},
                {"location_id", "l1"},
                {"unit_rate", 12}};
  }

  // Adds a product through the command; its answer.
  static Json add(const std::string& code, const std::string& name = "螺丝") {
    return ok("add_product", {{"request", product_request(code, name)}});
  }

  // One row in each dependent table naming the product.
  static void add_dependents(const std::string& product_id) {
    auto r = db::with_connection<Unit>(db::kPlainTexts, [&](db::Connection& c) -> Result<Unit> {
      for (const auto& [table, sql] : kDependentRows) c.execute(sql, db::new_record_id(), product_id);
      return Unit{};
    });
    ASSERT_TRUE(r.ok()) << r.error();
  }

  // How many rows of each dependent table name the product.
  static std::map<std::string, int64_t> dependents(const std::string& product_id) {
    std::map<std::string, int64_t> out;
    for (const auto& [table, sql] : kDependentRows)
      out[table] = rows("SELECT COUNT(*) AS n FROM " + table + " WHERE product_id = ?1", product_id)[0]["n"].get<int64_t>();
    return out;
  }
};

}  // namespace products_testing
