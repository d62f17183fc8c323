// Roles and permission keys. check_permission borrows the shared connection on
// its own, so guarded handlers call it before their own borrowing. The two
// commands report their failures with this module's own texts, never through
// friendly_error.
#include "permissions.h"

#include "database.h"
#include "permission_keys.h"

namespace {

constexpr std::string_view kInsertPermission =
    "INSERT INTO role_permissions (id, role_name, permission_key, permission_name, is_granted, updated_at) "
    "VALUES (?1,?2,?3,?4,?5,?6)";
constexpr std::string_view kCountRoleKey =
    "SELECT COUNT(*) FROM role_permissions WHERE role_name=?1 AND permission_key=?2";

constexpr db::Column kRolePermissionColumns[] = {
    {"id", db::ColumnKind::Text},
    {"role_name", db::ColumnKind::Text},
    {"permission_key", db::ColumnKind::Text},
    {"permission_name", db::ColumnKind::Text},
    {"is_granted", db::ColumnKind::Boolean},
    {"updated_at", db::ColumnKind::EmptyIfNull},
};

// The flag as the writers bind it: a one-character text that the column's
// integer affinity stores as 1 or 0.
const char* flag_text(bool granted) { return granted ? "1" : "0"; }

// A role's first reading stores every key but these two; its next reading
// adds them.
bool deferred_key(std::string_view key) { return key == "data_import" || key == "data_export"; }

// Stores the default grant of a role met anew; a failed insert (a row that
// exists already) is ignored.
void insert_default(db::Connection& c, const std::string& role, const PermissionKeyInfo& key, const std::string& now) {
  try {
    c.execute(kInsertPermission, db::new_record_id(), role, key.key, key.label, flag_text(key.new_role), now);
  } catch (const db::DbError&) {
  }
}

Result<Json> read_role(db::Connection& c, const std::string& role) {
  return db::list_rows(c,
                       "SELECT id, role_name, permission_key, permission_name, is_granted, updated_at "
                       "FROM role_permissions WHERE role_name=?1 ORDER BY permission_key",
                       kRolePermissionColumns, "查询权限失败：", "读取权限失败：", role);
}

}  // namespace

bool check_permission(const std::string& username, std::string_view key) {
  auto granted = db::with_connection<bool>(db::kAccessTexts, [&](db::Connection& c) -> Result<bool> {
    db::Statement role = c.prepare("SELECT role FROM users WHERE username=?1");
    role.bind(username);
    if (!role.step()) return false;
    const std::string role_name = role.text(0);  // NULL or not text: DbError, so not granted
    db::Statement grant = c.prepare("SELECT is_granted FROM role_permissions WHERE role_name=?1 AND permission_key=?2");
    grant.bind(role_name, key);
    if (!grant.step()) return false;
    return grant.integer(0) != 0;
  });
  return granted.ok() && granted.value();
}

Result<std::string> set_role_permission(const SetPermissionRequest& request, const std::string& username) {
  if (!check_permission(username, "permissions_edit")) return fail("权限不足：没有管理权限的权限");
  return db::with_connection<std::string>(db::kAccessTexts, [&](db::Connection& c) -> Result<std::string> {
    const std::string now = db::local_timestamp();
    const char* flag = flag_text(request.is_granted);
    auto count = db::try_query_integer(c, kCountRoleKey, request.role_name, request.permission_key);
    try {
      if (count && *count > 0) {
        c.execute("UPDATE role_permissions SET is_granted=?1, updated_at=?2 WHERE role_name=?3 AND permission_key=?4",
                  flag, now, request.role_name, request.permission_key);
      } else {
        c.execute(kInsertPermission, db::new_record_id(), request.role_name, request.permission_key, "", flag, now);
      }
    } catch (const db::DbError& e) {
      return fail("设置权限失败：" + std::string(e.what()));
    }
    return std::string("权限设置成功");
  });
}

// A role without rows is given its default rows, all but the deferred keys,
// and answers them. A role with rows answers them as they are, then is given
// the keys it lacks: so a new role answers 27 rows twice, then 29.
Result<Json> get_role_permissions(const std::string& role_name) {
  return db::with_connection<Json>(db::kAccessTexts, [&](db::Connection& c) -> Result<Json> {
    auto count = db::try_query_integer(c, "SELECT COUNT(*) FROM role_permissions WHERE role_name=?1", role_name);
    const std::string now = db::local_timestamp();
    if (!count || *count == 0) {
      for (const PermissionKeyInfo& key : kPermissionKeys)
        if (!deferred_key(key.key)) insert_default(c, role_name, key, now);
      return read_role(c, role_name);
    }
    auto rows = read_role(c, role_name);
    if (!rows) return rows;
    for (const PermissionKeyInfo& key : kPermissionKeys) {
      auto has = db::try_query_integer(c, kCountRoleKey, role_name, key.key);
      if (!has || *has == 0) insert_default(c, role_name, key, now);
    }
    return rows;
  });
}
