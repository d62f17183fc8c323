#include "permission_keys.h"

#include "database.h"

// clang-format off
const std::array<PermissionKeyInfo, 29> kPermissionKeys{{
    // key                    label          admin  employee new_role
    {"products_view",       "商品管理",   true, true,  true},
    {"products_edit",       "商品管理",   true, true,  true},
    {"products_delete",     "商品管理",   true, false, false},
    {"customers_view",      "客户管理",   true, true,  true},
    {"customers_edit",      "客户管理",   true, true,  true},
    {"suppliers_view",      "供应商管理", true, true,  true},
    {"suppliers_edit",      "供应商管理", true, true,  true},
    {"sales_view",          "销售管理",   true, true,  true},
    {"sales_create",        "销售管理",   true, true,  true},
    {"sales_edit",          "销售管理",   true, false, false},
    {"purchases_view",      "采购管理",   true, true,  true},
    {"purchases_create",    "采购管理",   true, true,  true},
    {"purchases_edit",      "采购管理",   true, false, false},
    {"inventory_view",      "库存管理",   true, true,  true},
    {"inventory_ops",       "库存管理",   true, true,  true},
    {"inventory_batch",     "库存管理",   true, true,  true},
    {"inventory_view_cost", "库存管理",   true, true,  false},
    {"warehouses_view",     "仓库管理",   true, true,  true},
    {"warehouses_edit",     "仓库管理",   true, true,  true},
    {"billing_view",        "应收应付",   true, true,  true},
    {"billing_edit",        "应收应付",   true, true,  true},
    {"print_view",          "打印管理",   true, true,  true},
    {"print_edit",          "打印管理",   true, true,  true},
    {"users_view",          "系统管理",   true, false, false},
    {"users_edit",          "系统管理",   true, false, false},
    {"logs_view",           "系统管理",   true, false, false},
    {"permissions_edit",    "系统管理",   true, false, false},
    {"data_import",         "系统管理",   true, false, true},
    {"data_export",         "系统管理",   true, false, true},
}};
// clang-format on

Result<Unit> seed_default_role_permissions(db::Connection& c) {
  // A failed count counts as an empty table: the inserts are tried.
  try {
    if (c.query_integer("SELECT COUNT(*) FROM role_permissions") != 0) return Unit{};
  } catch (const db::DbError&) {
  }
  const std::string now = db::local_timestamp();
  for (const PermissionKeyInfo& k : kPermissionKeys) {
    try {
      c.execute(
          "INSERT INTO role_permissions (id, role_name, permission_key, permission_name, is_granted, updated_at) "
          "VALUES (?1,'admin',?2,?3,1,?4)",
          db::new_record_id(), k.key, k.label, now);
    } catch (const db::DbError&) {
    }
    try {
      c.execute(
          "INSERT INTO role_permissions (id, role_name, permission_key, permission_name, is_granted, updated_at) "
          "VALUES (?1,'employee',?2,?3,?4,?5)",
          db::new_record_id(), k.key, k.label, k.employee ? "1" : "0", now);
    } catch (const db::DbError&) {
    }
  }
  return Unit{};
}
