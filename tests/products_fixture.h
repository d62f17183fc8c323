// Shared by the product tests: the command-test fixture with a valid product
// request and the rows of other tables that name a product.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

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

class ProductsTest : public testing_support::CommandTest {
 protected:
  ProductsTest() { caller_real_name = "管理员"; }  // not the account's own name

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
