// Warehouses: four handlers over the warehouses table. Changing the default
// flag and writing the warehouse happen in one transaction, so that a write
// refused by the unique code cannot leave the business without a default.
#include "warehouses.h"

#include "database.h"
#include "permissions.h"

namespace {

constexpr std::string_view kEditKey = "warehouses_edit";

// The columns of "SELECT *", in table order.
constexpr db::Column kWarehouseColumns[] = {
    {"id", db::ColumnKind::Text},          {"name", db::ColumnKind::Text},
    {"code", db::ColumnKind::Text},        {"address", db::ColumnKind::Text},
    {"contact", db::ColumnKind::Text},     {"phone", db::ColumnKind::Text},
    {"description", db::ColumnKind::Text}, {"is_default", db::ColumnKind::Int32Boolean},
    {"created_at", db::ColumnKind::Text},
};

// Parameters are bound as text; the column's integer affinity stores 1 or 0.
const char* flag_text(bool on) { return on ? "1" : "0"; }

}  // namespace

Result<Warehouse> add_warehouse(const AddWarehouseRequest& request, const std::string& username) {
  if (!check_permission(username, kEditKey)) return fail("权限不足：没有新增仓库的权限");
  return db::with_connection<Warehouse>(db::kPlainTexts, [&](db::Connection& c) {
    return db::in_transaction<Warehouse>(c, [&](db::Connection& c) -> Result<Warehouse> {
      if (c.query_integer("SELECT COUNT(*) FROM warehouses WHERE code = ?1", request.code) > 0)
        return fail("仓库编码 '" + request.code + "' 已存在");
      Warehouse w{db::new_record_id(),
                  request.name,
                  request.code,
                  request.address.value_or(""),
                  request.contact.value_or(""),
                  request.phone.value_or(""),
                  request.description.value_or(""),
                  request.is_default,
                  db::local_timestamp()};
      if (w.is_default) c.execute("UPDATE warehouses SET is_default = 0");
      c.execute(
          "INSERT INTO warehouses (id, name, code, address, contact, phone, description, is_default, created_at) \n"
          "         VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
          w.id, w.name, w.code, w.address, w.contact, w.phone, w.description, flag_text(w.is_default),
          w.created_at);
      return w;
    });
  });
}

Result<Json> get_warehouses() {
  return db::with_connection<Json>(db::kPlainTexts, [&](db::Connection& c) -> Result<Json> {
    return db::read_rows(c, "SELECT * FROM warehouses ORDER BY created_at DESC", kWarehouseColumns,
                         db::Strictness::Strict);
  });
}

Result<std::string> update_warehouse(const Warehouse& w, const std::string& username) {
  if (!check_permission(username, kEditKey)) return fail("权限不足：没有编辑仓库的权限");
  return db::with_connection<std::string>(db::kPlainTexts, [&](db::Connection& c) {
    return db::in_transaction<std::string>(c, [&](db::Connection& c) -> Result<std::string> {
      if (w.is_default) c.execute("UPDATE warehouses SET is_default = 0 WHERE id != ?1", w.id);
      c.execute(
          "UPDATE warehouses SET name = ?1, code = ?2, address = ?3, contact = ?4, phone = ?5, description = ?6, "
          "is_default = ?7 WHERE id = ?8",
          w.name, w.code, w.address, w.contact, w.phone, w.description, flag_text(w.is_default), w.id);
      return std::string("更新成功");
    });
  });
}

Result<std::string> delete_warehouse(const std::string& warehouse_id, const std::string& username) {
  if (!check_permission(username, kEditKey)) return fail("权限不足：没有删除仓库的权限");
  return db::with_connection<std::string>(db::kPlainTexts, [&](db::Connection& c) -> Result<std::string> {
    if (c.query_integer("SELECT COUNT(*) FROM locations WHERE warehouse_id = ?1", warehouse_id) > 0)
      return fail("该仓库下存在库位，无法删除");
    c.execute("DELETE FROM warehouses WHERE id = ?1", warehouse_id);
    return std::string("删除成功");
  });
}
