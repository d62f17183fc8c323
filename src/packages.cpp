// The four package commands. Each statement runs on its own on the shared
// connection; failures are mapped through friendly_error. Both listings join
// the owning product, so a package whose product is gone is listed nowhere.
#include "packages.h"

#include "database.h"
#include "operation_logs.h"
#include "permissions.h"

namespace {

constexpr std::string_view kModule = "包件管理";

constexpr std::string_view kListAll =
    "SELECT p.id, p.product_id, pr.name, p.package_name, p.package_code, p.quantity, p.is_shared, "
    "p.shared_products, p.sort_order, p.created_at \n"
    "         FROM product_packages p JOIN products pr ON p.product_id=pr.id \n"
    "         ORDER BY p.sort_order";

// A shared package lists for every product whose id appears in its text.
constexpr std::string_view kListForProduct =
    "SELECT p.id, p.product_id, pr.name, p.package_name, p.package_code, p.quantity, p.is_shared, "
    "p.shared_products, p.sort_order, p.created_at \n"
    "         FROM product_packages p JOIN products pr ON p.product_id=pr.id \n"
    "         WHERE p.product_id=?1 OR (p.is_shared=1 AND p.shared_products LIKE '%' || ?1 || '%')\n"
    "         ORDER BY p.sort_order";

constexpr std::string_view kInsert =
    "INSERT INTO product_packages (id, product_id, package_name, package_code, quantity, is_shared, "
    "shared_products, sort_order, created_at) \n"
    "         VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9)";

// Row reader of both listings.
constexpr db::Column kPackageColumns[] = {
    {"id", db::ColumnKind::Text},
    {"product_id", db::ColumnKind::Text},
    {"product_name", db::ColumnKind::Text},
    {"package_name", db::ColumnKind::Text},
    {"package_code", db::ColumnKind::Text},
    {"quantity", db::ColumnKind::Int32},
    {"is_shared", db::ColumnKind::Int32Boolean},
    {"shared_products", db::ColumnKind::EmptyIfNull},
    {"sort_order", db::ColumnKind::Int32},
    {"created_at", db::ColumnKind::Text},
};

template <class... A>
Result<Json> list_packages(std::string_view sql, const A&... params) {
  return db::with_connection<Json>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Json> {
    return db::read_rows(c, sql, kPackageColumns, db::Strictness::Strict, params...);
  });
}

}  // namespace

Result<ProductPackage> add_product_package(const CreatePackageRequest& request, const std::string& username,
                                           const std::string& real_name) {
  if (!check_permission(username, "products_edit")) return fail("权限不足：没有新增包件的权限");
  return db::with_connection<ProductPackage>(
      db::kFriendlyTexts, [&](db::Connection& c) -> Result<ProductPackage> {
        ProductPackage p{.id = db::new_record_id(),
                         .product_id = request.product_id,
                         .product_name = {},
                         .package_name = request.package_name,
                         .package_code = request.package_code,
                         .quantity = request.quantity,
                         .is_shared = request.is_shared,
                         .shared_products = json::write(to_json_value(request.shared_products)),
                         .sort_order = request.sort_order,
                         .created_at = db::local_timestamp()};
        p.product_name = c.query_text("SELECT name FROM products WHERE id=?1", p.product_id);
        c.execute(kInsert, p.id, p.product_id, p.package_name, p.package_code, p.quantity, p.is_shared,
                  p.shared_products, p.sort_order, p.created_at);
        log_operation(username, real_name, "添加", kModule,
                      "添加包件: " + p.package_name + " (商品: " + p.product_name + ")");
        return p;
      });
}

Result<Json> get_all_packages() { return list_packages(kListAll); }

Result<Json> get_product_packages(const std::string& product_id) {
  return list_packages(kListForProduct, product_id);
}

Result<std::string> delete_product_package(const std::string& package_id, const std::string& username,
                                           const std::string& real_name) {
  if (!check_permission(username, "products_edit")) return fail("权限不足：没有删除包件的权限");
  return db::with_connection<std::string>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<std::string> {
    const std::string name =
        c.query_text_or("", "SELECT package_name FROM product_packages WHERE id=?1", package_id);
    c.execute("DELETE FROM product_packages WHERE id=?1", package_id);
    log_operation(username, real_name, "删除", kModule, "删除包件: '" + name + "'");
    return std::string("删除成功");
  });
}
