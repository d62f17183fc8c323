// Storage locations: six handlers over the locations table. get_locations
// reads its rows strictly through the column table; get_all_locations reads
// them leniently by column name and lists what it can rather than fail.
#include "locations.h"

#include "database.h"
#include "operation_logs.h"
#include "permissions.h"

namespace {

constexpr std::string_view kEditKey = "warehouses_edit";
constexpr std::string_view kLogModule = "库位管理";

// The columns as the listings select them, in the record's field order.
constexpr db::Column kLocationColumns[] = {
    {"id", db::ColumnKind::Text},
    {"warehouse_id", db::ColumnKind::Text},
    {"warehouse_name", db::ColumnKind::EmptyIfNotText},
    {"code", db::ColumnKind::Text},
    {"name", db::ColumnKind::Text},
    {"zone", db::ColumnKind::EmptyIfNull},
    {"aisle", db::ColumnKind::EmptyIfNull},
    {"shelf", db::ColumnKind::EmptyIfNull},
    {"level", db::ColumnKind::EmptyIfNull},
    {"position", db::ColumnKind::EmptyIfNull},
    {"description", db::ColumnKind::EmptyIfNull},
    {"created_at", db::ColumnKind::EmptyIfNotText},
};

constexpr std::string_view kSelectAll =
    "SELECT id, warehouse_id, warehouse_name, code, name, zone, aisle, shelf, level, position, description, "
    "created_at FROM locations ORDER BY created_at DESC";
constexpr std::string_view kSelectByWarehouse =
    "SELECT id, warehouse_id, warehouse_name, code, name, zone, aisle, shelf, level, position, description, "
    "created_at FROM locations WHERE warehouse_id = ?1 ORDER BY created_at DESC";

// The listing of every location; a table that lacks one of the columns is
// read with "SELECT *" instead.
db::Statement prepare_full_listing(db::Connection& c) {
  try {
    return c.prepare(kSelectAll);
  } catch (const db::DbError&) {
    return c.prepare("SELECT * FROM locations ORDER BY created_at DESC");
  }
}

// A location row read leniently: each field from the column of its name,
// empty when the column is missing or holds anything but text. Serves the
// "SELECT *" of an older table as well as the full listing.
Json read_location_row_lenient(const db::Statement& s) {
  Json row = Json::object();
  for (const db::Column& col : kLocationColumns) row[std::string(col.name)] = "";
  for (int i = 0; i < s.column_count(); ++i) {
    if (auto it = row.find(s.column_name(i)); it != row.end()) *it = s.text_or(i, "");
  }
  return row;
}

}  // namespace

Result<Location> add_location(const AddLocationRequest& r, const std::string& username,
                              const std::string& real_name) {
  if (!check_permission(username, kEditKey)) return fail("权限不足：没有新增库位的权限");
  return db::with_connection<Location>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Location> {
    // Codes are kept unique over all warehouses, although the table allows a
    // code once per warehouse.
    if (c.query_integer("SELECT COUNT(*) FROM locations WHERE code = ?1", r.code) > 0)
      return fail("库位编码 '" + r.code + "' 已存在");
    Location l{db::new_record_id(), r.warehouse_id, r.warehouse_name, r.code,     r.name,        r.zone,
               r.aisle,             r.shelf,        r.level,          r.position, r.description, db::local_timestamp()};
    c.execute(
        "INSERT INTO locations (id, warehouse_id, warehouse_name, code, name, zone, aisle, shelf, level, position, "
        "description, created_at) \n"
        "         VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)",
        l.id, l.warehouse_id, l.warehouse_name, l.code, l.name, l.zone, l.aisle, l.shelf, l.level, l.position,
        l.description, l.created_at);
    log_operation(username, real_name, "添加", kLogModule, "添加库位: " + l.name + " (" + l.code + ")");
    return l;
  });
}

Result<Json> get_locations(const std::string& warehouse_id) {
  return db::with_connection<Json>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Json> {
    if (warehouse_id.empty()) return db::read_rows(c, kSelectAll, kLocationColumns, db::Strictness::Strict);
    return db::read_rows(c, kSelectByWarehouse, kLocationColumns, db::Strictness::Strict, warehouse_id);
  });
}

Result<Json> get_all_locations() {
  return db::with_connection<Json>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Json> {
    if (db::try_query_integer(c, "SELECT COUNT(*) FROM locations").value_or(0) <= 0) return Json::array();
    db::Statement s = prepare_full_listing(c);
    Json rows = Json::array();
    while (s.step()) rows.push_back(read_location_row_lenient(s));
    return rows;
  });
}

Result<std::string> update_location(const Location& l, const std::string& username, const std::string& real_name) {
  if (!check_permission(username, kEditKey)) return fail("权限不足：没有编辑库位的权限");
  return db::with_connection<std::string>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<std::string> {
    c.execute(
        "UPDATE locations SET warehouse_id = ?1, warehouse_name = ?2, code = ?3, name = ?4, zone = ?5, aisle = ?6, "
        "shelf = ?7, level = ?8, position = ?9, description = ?10 WHERE id = ?11",
        l.warehouse_id, l.warehouse_name, l.code, l.name, l.zone, l.aisle, l.shelf, l.level, l.position,
        l.description, l.id);
    log_operation(username, real_name, "修改", kLogModule, "修改库位: " + l.name + " (" + l.code + ")");
    return std::string("更新成功");
  });
}

Result<std::string> delete_location(const std::string& location_id, const std::string& username,
                                    const std::string& real_name) {
  if (!check_permission(username, kEditKey)) return fail("权限不足：没有删除库位的权限");
  return db::with_connection<std::string>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<std::string> {
    if (c.query_integer("SELECT COUNT(*) FROM products WHERE location_id = ?1", location_id) > 0)
      return fail("该库位下有商品，无法删除");
    std::string label;  // "code name" for the log; empty when the row is not there
    try {
      label = c.query_text("SELECT code || ' ' || name FROM locations WHERE id=?1", location_id);
    } catch (const db::DbError&) {
    }
    c.execute("DELETE FROM locations WHERE id = ?1", location_id);
    log_operation(username, real_name, "删除", kLogModule, "删除库位: " + label);
    return std::string("删除成功");
  });
}

Result<std::string> debug_locations() {
  return db::with_connection<std::string>(db::kPlainTexts, [&](db::Connection& c) -> Result<std::string> {
    const int64_t count = db::try_query_integer(c, "SELECT COUNT(*) FROM locations").value_or(-1);
    // A failure to prepare is reported; a failure to read leaves the text empty.
    db::Statement s = c.prepare("SELECT sql FROM sqlite_master WHERE type='table' AND name='locations'");
    std::string sql;
    try {
      if (s.step()) sql = s.text(0);
    } catch (const db::DbError&) {
    }
    return "locations表: " + std::to_string(count) + " 条记录\n建表语句: " + sql;
  });
}
