// Products, their specifications and image path.
//
// Every command follows the same shape: the permission check (when the
// command has one) before the shared connection is borrowed, the work under
// db::with_connection with the module's failure texts, and the operation-log
// entry once the change has succeeded. Rows of products are read through one
// column table (kReadColumns) by a strict and a lenient reader; new rows are
// written through one insert (insert_product).
#include "products.h"

#include <array>

#include "database.h"
#include "operation_logs.h"
#include "permissions.h"

namespace {

constexpr std::string_view kDeniedView = "权限不足：没有查看商品的权限";
constexpr std::string_view kDeniedEdit = "权限不足：没有新增/编辑商品的权限";
constexpr std::string_view kDeniedDelete = "权限不足：没有删除商品的权限";
constexpr std::string_view kLogModule = "商品管理";

// ---- the row readers --------------------------------------------------------

// What a reader does with a value of the wrong kind in one column.
enum class OnBad {
  Fail,           // any wrong kind (NULL included) fails the row
  NullFallsBack,  // NULL gives the column's fallback; another wrong kind fails
  FallsBack,      // any wrong kind gives the fallback
};

struct ReadColumn {
  std::string Product::*text = nullptr;  // a text column ...
  double Product::*number = nullptr;     // ... or a number column
  double fallback = 0;                   // for numbers; texts fall back to ""
  OnBad strict;
  OnBad listing;
};

constexpr ReadColumn text_column(std::string Product::*m, OnBad strict, OnBad listing) {
  return {m, nullptr, 0, strict, listing};
}
constexpr ReadColumn number_column(double Product::*m, double fallback, OnBad strict, OnBad listing) {
  return {nullptr, m, fallback, strict, listing};
}

using enum OnBad;

// By position in kProductColumns.
const std::array<ReadColumn, 26> kReadColumns = {
    text_column(&Product::id, Fail, FallsBack),
    text_column(&Product::name, Fail, FallsBack),
    text_column(&Product::code, Fail, FallsBack),
    text_column(&Product::category, NullFallsBack, NullFallsBack),
    text_column(&Product::unit, NullFallsBack, FallsBack),
    text_column(&Product::unit2, NullFallsBack, NullFallsBack),
    number_column(&Product::price, 0, Fail, FallsBack),
    number_column(&Product::cost, 0, Fail, FallsBack),
    number_column(&Product::stock, 0, Fail, FallsBack),
    number_column(&Product::stock_unit2, 0, NullFallsBack, NullFallsBack),
    text_column(&Product::batch_no, NullFallsBack, NullFallsBack),
    text_column(&Product::production_date, NullFallsBack, NullFallsBack),
    text_column(&Product::expiry_date, NullFallsBack, NullFallsBack),
    text_column(&Product::brand, NullFallsBack, NullFallsBack),
    text_column(&Product::model, NullFallsBack, NullFallsBack),
    text_column(&Product::package_type, NullFallsBack, NullFallsBack),
    text_column(&Product::description, NullFallsBack, NullFallsBack),
    text_column(&Product::image_path, NullFallsBack, NullFallsBack),
    text_column(&Product::warehouse_id, NullFallsBack, NullFallsBack),
    text_column(&Product::location_id, NullFallsBack, NullFallsBack),
    text_column(&Product::created_at, FallsBack, FallsBack),
    text_column(&Product::barcode, NullFallsBack, NullFallsBack),
    text_column(&Product::trace_code, NullFallsBack, NullFallsBack),
    text_column(&Product::status, NullFallsBack, NullFallsBack),
    text_column(&Product::category_id, NullFallsBack, NullFallsBack),
    number_column(&Product::unit_rate, 1, NullFallsBack, NullFallsBack),
};

// Listings read every product, so a right value is taken straight from the
// engine; only a wrong one goes through the typed readers for their text.
Product read_product(const db::Statement& s, bool listing) {
  if (s.column_count() < static_cast<int>(kReadColumns.size())) s.column_type(s.column_count());  // index error
  sqlite3_stmt* raw = s.raw();
  Product p;
  for (int i = 0; i < static_cast<int>(kReadColumns.size()); ++i) {
    const ReadColumn& col = kReadColumns[i];
    const int type = sqlite3_column_type(raw, i);
    if (col.text && type == SQLITE_TEXT) {
      std::string_view text(reinterpret_cast<const char*>(sqlite3_column_text(raw, i)),
                            static_cast<size_t>(sqlite3_column_bytes(raw, i)));
      if (json::valid_utf8(text)) {
        (p.*col.text).assign(text);
        continue;
      }
    }
    if (!col.text && (type == SQLITE_INTEGER || type == SQLITE_FLOAT)) {
      p.*col.number = sqlite3_column_double(raw, i);
      continue;
    }
    const OnBad rule = listing ? col.listing : col.strict;
    if (rule == FallsBack || (rule == NullFallsBack && type == SQLITE_NULL)) {
      if (col.text) (p.*col.text).clear();
      else p.*col.number = col.fallback;
      continue;
    }
    // Fails with the engine-style "Invalid column type ..." or "Conversion error ..." text.
    if (col.text) s.text(i);
    else s.real(i);
  }
  return p;
}

// ---- writing products -------------------------------------------------------

const std::string kSelectAll =
    "SELECT " + std::string(kProductColumns) + " FROM products ORDER BY created_at DESC";
const std::string kSelectByCode = "SELECT " + std::string(kProductColumns) + " FROM products WHERE code=?1";

constexpr std::string_view kInsert =
    "INSERT INTO products (id, name, code, category, unit, unit2, price, cost, stock, stock_unit2, batch_no, "
    "production_date, expiry_date, brand, model, package_type, description, image_path, warehouse_id, "
    "location_id, barcode, trace_code, status, category_id, unit_rate, created_at) VALUES (?1, ?2, ?3, ?4, ?5, "
    "?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25, ?26)";

// Every column but image_path and created_at; id is the key.
constexpr std::string_view kUpdate =
    "UPDATE products SET name=?1, code=?2, category=?3, unit=?4, unit2=?5, price=?6, cost=?7, stock=?8, "
    "stock_unit2=?9, batch_no=?10, production_date=?11, expiry_date=?12, brand=?13, model=?14, package_type=?15, "
    "description=?16, warehouse_id=?17, location_id=?18, barcode=?19, trace_code=?20, status=?21, "
    "category_id=?22, unit_rate=?23 WHERE id=?24";

// The product a request describes, as it is stored.
Product new_product(const AddProductRequest& r, std::string id, std::string created_at) {
  return Product{std::move(id), r.name, r.code, r.category, r.unit, r.unit2, r.price, r.cost, r.stock,
                 r.stock_unit2, r.batch_no, r.production_date, r.expiry_date, r.brand, r.model,
                 r.package_type, r.description, r.image_path, r.warehouse_id, r.location_id,
                 r.barcode.value_or(""), r.trace_code.value_or(""), r.status.value_or("active"),
                 r.category_id.value_or(""), r.unit_rate, std::move(created_at)};
}

void insert_product(db::Connection& c, const Product& p) {
  c.execute(kInsert, p.id, p.name, p.code, p.category, p.unit, p.unit2, p.price, p.cost, p.stock, p.stock_unit2,
            p.batch_no, p.production_date, p.expiry_date, p.brand, p.model, p.package_type, p.description,
            p.image_path, p.warehouse_id, p.location_id, p.barcode, p.trace_code, p.status, p.category_id,
            p.unit_rate, p.created_at);
}

bool code_taken(db::Connection& c, const std::string& code) {
  return c.query_integer("SELECT COUNT(*) FROM products WHERE code = ?1", code) > 0;
}

std::string product_detail(const std::string& name, const std::string& code) {
  return "商品'" + name + "' 编码" + code;
}

// The rows that name a product, cleared before the product itself.
constexpr std::array<std::string_view, 3> kSingleDeleteDependents = {
    "DELETE FROM inventory_records WHERE product_id = ?1",
    "DELETE FROM sale_order_items WHERE product_id = ?1",
    "DELETE FROM purchase_order_items WHERE product_id = ?1",
};
constexpr std::array<std::string_view, 10> kBatchDeleteDependents = {
    "DELETE FROM inventory_records WHERE product_id = ?1",
    "DELETE FROM sale_order_items WHERE product_id = ?1",
    "DELETE FROM purchase_order_items WHERE product_id = ?1",
    "DELETE FROM return_order_items WHERE product_id = ?1",
    "DELETE FROM transfer_order_items WHERE product_id = ?1",
    "DELETE FROM product_specs WHERE product_id = ?1",
    "DELETE FROM product_packages WHERE product_id = ?1",
    "DELETE FROM product_documents WHERE product_id = ?1",
    "DELETE FROM warehouse_stock WHERE product_id = ?1",
    "DELETE FROM stock_transactions WHERE product_id = ?1",
};
constexpr std::string_view kDeleteProduct = "DELETE FROM products WHERE id = ?1";

// Runs one statement of a batch whose failures are passed over (an older
// file may lack the table); returns the rows changed, or 0 when it failed.
// When the engine has rolled the transaction back by itself, going on would
// commit the rest statement by statement, so the failure ends the batch.
int64_t execute_or_pass(db::Connection& c, std::string_view sql, const std::string& id) {
  try {
    return c.execute(sql, id);
  } catch (const db::DbError&) {
    if (sqlite3_get_autocommit(c.handle())) throw;
    return 0;
  }
}

const db::Column kSpecColumns[] = {
    {"id", db::ColumnKind::Text},         {"product_id", db::ColumnKind::Text},
    {"spec_name", db::ColumnKind::Text},  {"spec_value", db::ColumnKind::Text},
    {"price", db::ColumnKind::Real},      {"stock", db::ColumnKind::Real},
    {"created_at", db::ColumnKind::Text},
};

}  // namespace

Product read_product_row(const db::Statement& s) { return read_product(s, false); }
Product read_product_list_row(const db::Statement& s) { return read_product(s, true); }

// ---- products ---------------------------------------------------------------

Result<Product> add_product(const AddProductRequest& request, const std::string& username,
                            const std::string& real_name) {
  if (!check_permission(username, "products_edit")) return fail(std::string(kDeniedEdit));
  return db::with_connection<Product>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Product> {
    if (code_taken(c, request.code)) return fail("商品编码 '" + request.code + "' 已存在，请使用其他编码");
    Product p = new_product(request, db::new_record_id(), db::local_timestamp());
    insert_product(c, p);
    log_operation(username, real_name, "添加商品", kLogModule, product_detail(p.name, p.code));
    return p;
  });
}

Result<Product> update_product(const Product& p, const std::string& username, const std::string& real_name) {
  if (!check_permission(username, "products_edit")) return fail(std::string(kDeniedEdit));
  return db::with_connection<Product>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Product> {
    if (c.query_integer("SELECT COUNT(*) FROM products WHERE code = ?1 AND id != ?2", p.code, p.id) > 0)
      return fail("商品编码 '" + p.code + "' 已被其他商品使用，请使用其他编码");
    c.execute(kUpdate, p.name, p.code, p.category, p.unit, p.unit2, p.price, p.cost, p.stock, p.stock_unit2,
              p.batch_no, p.production_date, p.expiry_date, p.brand, p.model, p.package_type, p.description,
              p.warehouse_id, p.location_id, p.barcode, p.trace_code, p.status, p.category_id, p.unit_rate, p.id);
    log_operation(username, real_name, "编辑商品", kLogModule, product_detail(p.name, p.code));
    return p;
  });
}

Result<std::vector<Product>> get_products(const std::string& username) {
  if (!check_permission(username, "products_view")) return fail(std::string(kDeniedView));
  return db::with_connection<std::vector<Product>>(db::kPlainTexts,
                                                   [&](db::Connection& c) -> Result<std::vector<Product>> {
    db::Statement s = c.prepare(kSelectAll);
    std::vector<Product> products;
    while (s.step()) products.push_back(read_product_list_row(s));
    return products;
  });
}

// All statements in one transaction: a failure leaves the product whole.
Result<Unit> delete_product(const std::string& product_id, const std::string& username,
                            const std::string& real_name) {
  if (!check_permission(username, "products_delete")) return fail(std::string(kDeniedDelete));
  return db::with_connection<Unit>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Unit> {
    std::string name;
    Result<Unit> done = db::in_transaction<Unit>(c, [&](db::Connection&) -> Result<Unit> {
      for (std::string_view sql : kSingleDeleteDependents) c.execute(sql, product_id);
      try {
        db::Statement s = c.prepare("SELECT name FROM products WHERE id=?1");
        s.bind(product_id);
        if (s.step()) name = s.text_or(0, "");
      } catch (const db::DbError&) {
        name.clear();  // the log entry then names no product
      }
      c.execute(kDeleteProduct, product_id);
      return Unit{};
    });
    if (!done) return done;
    log_operation(username, real_name, "删除商品", kLogModule, "删除商品'" + name + "'");
    return Unit{};
  });
}

// ---- batch operations -------------------------------------------------------

// No transaction: each insert commits by itself, and a failed insert ends the
// batch with the products before it kept.
Result<std::vector<Product>> batch_add_products(const std::vector<AddProductRequest>& products) {
  return db::with_connection<std::vector<Product>>(db::kPlainTexts,
                                                   [&](db::Connection& c) -> Result<std::vector<Product>> {
    const std::string now = db::local_timestamp();
    std::vector<Product> added;
    for (const AddProductRequest& r : products) {
      bool taken = false;
      try {
        taken = code_taken(c, r.code);
      } catch (const db::DbError&) {
        // Treated as new; the insert reports what is wrong.
      }
      if (taken) continue;
      Product p = new_product(r, db::new_record_id(), now);
      p.image_path.clear();  // a batch never takes image paths
      insert_product(c, p);
      added.push_back(std::move(p));
    }
    return added;
  });
}

Result<std::string> batch_delete_products(const std::vector<std::string>& product_ids, const std::string& username,
                                          const std::string& real_name) {
  if (!check_permission(username, "products_delete")) return fail(std::string(kDeniedDelete));
  return db::with_connection<std::string>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<std::string> {
    int64_t deleted = 0;
    Result<Unit> done = db::in_transaction<Unit>(c, [&](db::Connection&) -> Result<Unit> {
      for (const std::string& id : product_ids) {
        for (std::string_view sql : kBatchDeleteDependents) execute_or_pass(c, sql, id);
        if (execute_or_pass(c, kDeleteProduct, id) > 0) ++deleted;
      }
      return Unit{};
    });
    if (!done) return done.take_error();
    const std::string count = std::to_string(deleted);
    log_operation(username, real_name, "批量删除商品", kLogModule,
                  "批量删除" + count + "个商品（共" + std::to_string(product_ids.size()) + "个ID）");
    return "成功删除 " + count + " 个商品";
  });
}

Result<Product> get_or_create_product(const std::string& code, const std::string& name, double price, double cost,
                                      const std::string& unit) {
  return db::with_connection<Product>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Product> {
    try {
      db::Statement s = c.prepare(kSelectByCode);
      s.bind(code);
      if (s.step()) return read_product_row(s);
    } catch (const db::DbError&) {
      // An unreadable row: the insert below fails on the taken code.
    }
    Product p;
    p.id = db::new_record_id();
    p.name = name;
    p.code = code;
    p.unit = unit;
    p.price = price;
    p.cost = cost;
    p.status = "active";
    p.unit_rate = 1;
    p.created_at = db::local_timestamp();
    c.execute(
        "INSERT INTO products (id, name, code, unit, price, cost, stock, stock_unit2, batch_no, production_date, "
        "expiry_date, brand, model, description, created_at) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, 0, 0, '', '', '', '', '', '', ?7)",
        p.id, p.name, p.code, p.unit, p.price, p.cost, p.created_at);
    return p;
  });
}

// ---- specifications and image -----------------------------------------------

Result<ProductSpec> add_product_spec(const AddProductSpecRequest& r) {
  return db::with_connection<ProductSpec>(db::kPlainTexts, [&](db::Connection& c) -> Result<ProductSpec> {
    ProductSpec spec{db::new_record_id(), r.product_id, r.spec_name, r.spec_value, r.price, r.stock,
                     db::local_timestamp()};
    c.execute("INSERT INTO product_specs (id, product_id, spec_name, spec_value, price, stock, created_at) "
              "VALUES (?1,?2,?3,?4,?5,?6,?7)",
              spec.id, spec.product_id, spec.spec_name, spec.spec_value, spec.price, spec.stock, spec.created_at);
    return spec;
  });
}

Result<Json> get_product_specs(const std::string& product_id) {
  return db::with_connection<Json>(db::kPlainTexts, [&](db::Connection& c) -> Result<Json> {
    return db::read_rows(c,
                         "SELECT id, product_id, spec_name, spec_value, price, stock, created_at "
                         "FROM product_specs WHERE product_id=?1 ORDER BY created_at",
                         kSpecColumns, db::Strictness::Strict, product_id);
  });
}

Result<std::string> update_product_spec(const UpdateProductSpecRequest& r) {
  return db::with_connection<std::string>(db::kPlainTexts, [&](db::Connection& c) -> Result<std::string> {
    c.execute("UPDATE product_specs SET spec_name=?1, spec_value=?2, price=?3, stock=?4 WHERE id=?5", r.spec_name,
              r.spec_value, r.price, r.stock, r.id);
    return std::string("更新成功");
  });
}

Result<std::string> delete_product_spec(const std::string& spec_id) {
  return db::with_connection<std::string>(db::kPlainTexts, [&](db::Connection& c) -> Result<std::string> {
    c.execute("DELETE FROM product_specs WHERE id=?1", spec_id);
    return std::string("删除成功");
  });
}

Result<std::string> update_product_image(const UpdateProductImageRequest& r) {
  return db::with_connection<std::string>(db::kPlainTexts, [&](db::Connection& c) -> Result<std::string> {
    c.execute("UPDATE products SET image_path=?1 WHERE id=?2", r.image_path, r.product_id);
    return std::string("图片更新成功");
  });
}
