// System settings on the shared connection. Failures carry this module's own
// prefixes with the engine's text, never friendly_error.
#include "system_config.h"

#include "database.h"
#include "permissions.h"

namespace {

constexpr std::string_view kOpenKeyPrefix = "default_print_";  // print defaults any user may set

constexpr db::Column kConfigColumns[] = {
    {"id", db::ColumnKind::Text},
    {"config_key", db::ColumnKind::Text},
    {"config_value", db::ColumnKind::Text},
    {"description", db::ColumnKind::EmptyIfNull},
    {"updated_at", db::ColumnKind::EmptyIfNull},
};

}  // namespace

Result<std::string> get_system_config(const std::string& config_key) {
  return db::with_connection<std::string>(db::kAccessTexts, [&](db::Connection& c) -> Result<std::string> {
    try {
      db::Statement s = c.prepare("SELECT config_value FROM system_config WHERE config_key=?1");
      s.bind(config_key);
      if (s.step()) return s.text(0);
    } catch (const db::DbError&) {
    }
    return std::string();
  });
}

Result<std::string> set_system_config(const SetConfigRequest& r, const std::string& username) {
  if (!r.config_key.starts_with(kOpenKeyPrefix) && !check_permission(username, "permissions_edit"))
    return fail("权限不足：没有设置系统配置的权限");
  return db::with_connection<std::string>(db::kAccessTexts, [&](db::Connection& c) -> Result<std::string> {
    const std::string now = db::local_timestamp();
    const std::string description = r.description.value_or("");
    auto count = db::try_query_integer(c, "SELECT COUNT(*) FROM system_config WHERE config_key=?1", r.config_key);
    try {
      if (count && *count > 0) {
        c.execute("UPDATE system_config SET config_value=?1, description=?2, updated_at=?3 WHERE config_key=?4",
                  r.config_value, description, now, r.config_key);
      } else {
        c.execute("INSERT INTO system_config (id, config_key, config_value, description, updated_at) "
                  "VALUES (?1,?2,?3,?4,?5)",
                  db::new_record_id(), r.config_key, r.config_value, description, now);
      }
    } catch (const db::DbError& e) {
      return fail("保存配置失败：" + std::string(e.what()));
    }
    return std::string("配置保存成功");
  });
}

Result<Json> get_all_system_configs() {
  return db::with_connection<Json>(db::kAccessTexts, [&](db::Connection& c) -> Result<Json> {
    return db::list_rows(c, "SELECT id, config_key, config_value, description, updated_at FROM system_config "
                            "ORDER BY config_key",
                         kConfigColumns, "查询配置失败：", "读取配置失败：");
  });
}
