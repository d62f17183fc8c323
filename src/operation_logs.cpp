// The operation log. log_operation opens a connection of its own for every
// entry, so a handler may call it while it still holds the shared one; the
// three commands work on the shared connection and report failures with this
// module's own texts.
#include "operation_logs.h"

#include "database.h"
#include "permissions.h"

namespace {

constexpr std::string_view kInsertLog =
    "INSERT INTO operation_logs (id, username, real_name, action, module, detail, created_at) "
    "VALUES (?1,?2,?3,?4,?5,?6,?7)";

constexpr db::Column kLogColumns[] = {
    {"id", db::ColumnKind::Text},         {"username", db::ColumnKind::Text},
    {"real_name", db::ColumnKind::Text},  {"action", db::ColumnKind::Text},
    {"module", db::ColumnKind::Text},     {"detail", db::ColumnKind::EmptyIfNull},
    {"created_at", db::ColumnKind::EmptyIfNull},
};

}  // namespace

void log_operation(const std::string& username, const std::string& real_name, std::string_view action,
                   std::string_view module, std::string_view detail) {
  try {
    auto c = db::Connection::open(db::kDatabaseFile);
    c->execute(kInsertLog, db::new_record_id(), username, real_name, action, module, detail, db::local_timestamp());
  } catch (...) {
    // The entry is lost; the caller's command has succeeded all the same.
  }
}

Result<std::string> add_operation_log(const AddLogRequest& r) {
  const std::string id = db::new_record_id();  // made before borrowing: the lock is held for the insert only
  const std::string now = db::local_timestamp();
  return db::with_connection<std::string>(db::kAccessTexts, [&](db::Connection& c) -> Result<std::string> {
    try {
      c.execute(kInsertLog, id, r.username, r.real_name, r.action, r.module, r.detail, now);
    } catch (const db::DbError& e) {
      return fail("记录日志失败：" + std::string(e.what()));
    }
    return std::string("日志记录成功");
  });
}

Result<Json> get_operation_logs(const std::string& username) {
  if (!check_permission(username, "logs_view")) return fail("权限不足：没有查看操作日志的权限");
  return db::with_connection<Json>(db::kAccessTexts, [&](db::Connection& c) -> Result<Json> {
    return db::list_rows(c,
                         "SELECT id, username, real_name, action, module, detail, created_at "
                         "FROM operation_logs ORDER BY created_at DESC LIMIT 100",
                         kLogColumns, "查询日志失败：", "读取日志失败：");
  });
}

Result<std::string> clear_operation_logs(const std::string& username) {
  if (!check_permission(username, "logs_view")) return fail("权限不足：没有清除操作日志的权限");
  return db::with_connection<std::string>(db::kAccessTexts, [&](db::Connection& c) -> Result<std::string> {
    try {
      c.execute("DELETE FROM operation_logs");
    } catch (const db::DbError& e) {
      return fail("清除日志失败：" + std::string(e.what()));
    }
    return std::string("日志已清除");
  });
}
