// User accounts and log-in. The account handlers share one frame: the
// permission check (before borrowing the shared connection), the statements
// one by one with database failures mapped by friendly_error, then the log
// entry. Log-in holds the shared connection for its whole run and takes the
// ACTIVE_SESSIONS lock only inside it, so the two locks are always taken in
// that order.
#include "auth.h"

#include <mutex>
#include <unordered_set>

#include "database.h"
#include "operation_logs.h"
#include "permissions.h"
#include "platform.h"

namespace {

constexpr std::string_view kModule = "用户管理";

// ACTIVE_SESSIONS: the names logged in since the process started.
struct ActiveSessions {
  std::mutex mutex;
  std::unordered_set<std::string> names;
};

ActiveSessions& active_sessions() {
  static ActiveSessions* const sessions = new ActiveSessions();  // never destroyed: workers may outlive main
  return *sessions;
}

bool logged_in(const std::string& name) {
  ActiveSessions& s = active_sessions();
  std::lock_guard lock(s.mutex);
  return s.names.contains(name);
}

LoginResponse refused(std::string message) { return LoginResponse{false, std::move(message), std::nullopt}; }

constexpr db::Column kUserRowColumns[] = {
    {"id", db::ColumnKind::Text},        {"username", db::ColumnKind::Text},
    {"real_name", db::ColumnKind::Text}, {"role", db::ColumnKind::Text},
    {"created_at", db::ColumnKind::Text},
};

constexpr db::Column kAccountColumns[] = {
    {"username", db::ColumnKind::Text},
    {"real_name", db::ColumnKind::Text},
    {"role", db::ColumnKind::Text},
};

}  // namespace

std::string user_role(const std::string& stored_role) { return stored_role == "admin" ? "Admin" : "Employee"; }

Result<User> add_user(const AddUserRequest& request, const std::string& username, const std::string& real_name) {
  console_line("[AUTH] add_user: operator=" + username + ", new_user=" + request.username + ", role=" + request.role);
  if (!check_permission(username, "users_edit")) {
    console_line("[AUTH] add_user DENIED: no users_edit permission");
    return fail("权限不足：没有新增用户的权限");
  }
  return db::with_connection<User>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<User> {
    if (c.query_integer("SELECT COUNT(*) FROM users WHERE username = ?1", request.username) > 0)
      return fail("用户名已存在");
    User user{db::new_record_id(), request.username, "", request.real_name, user_role(request.role), {},
              db::local_timestamp()};
    c.execute("INSERT INTO users (id, username, password, real_name, role, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
              user.id, request.username, request.password, request.real_name, request.role, user.created_at);
    console_line("[AUTH] add_user OK: user " + request.username + " saved to DB");
    log_operation(username, real_name, "添加", kModule, "添加用户: " + request.username + " (" + request.real_name + ")");
    return user;
  });
}

Result<Json> get_users(const std::string& username) {
  if (!check_permission(username, "users_view")) return fail("权限不足：没有查看用户的权限");
  return db::with_connection<Json>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Json> {
    Json rows = db::read_rows(c, "SELECT id, username, real_name, role, created_at FROM users ORDER BY created_at DESC",
                              kUserRowColumns, db::Strictness::Strict);
    for (Json& row : rows) row["password"] = "";  // the stored password is never read
    return rows;
  });
}

Result<Unit> delete_user(const std::string& user_id, const std::string& username, const std::string& real_name) {
  if (!check_permission(username, "users_edit")) return fail("权限不足：没有删除用户的权限");
  return db::with_connection<Unit>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Unit> {
    const std::string name = c.query_text("SELECT username FROM users WHERE id = ?1", user_id);
    if (name == "admin") return fail("不能删除默认管理员账户");
    c.execute("DELETE FROM users WHERE id = ?1", user_id);
    log_operation(username, real_name, "删除", kModule, "删除用户: " + name);
    return Unit{};
  });
}

Result<Json> get_accounts() {
  return db::with_connection<Json>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Json> {
    return db::read_rows(c, "SELECT username, real_name, role FROM users ORDER BY username", kAccountColumns,
                         db::Strictness::Strict);
  });
}

Result<Unit> change_password(const std::string& user_id, const std::string& old_password,
                             const std::string& new_password, const std::string& username,
                             const std::string& real_name) {
  return db::with_connection<Unit>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Unit> {
    if (c.query_text("SELECT password FROM users WHERE id = ?1", user_id) != old_password) return fail("原密码错误");
    c.execute("UPDATE users SET password = ?1 WHERE id = ?2", new_password, user_id);
    log_operation(username, real_name, "修改", kModule, "修改密码");
    return Unit{};
  });
}

Result<Unit> admin_reset_password(const std::string& target_user_id, const std::string& new_password,
                                  const std::string& username, const std::string& real_name) {
  if (!check_permission(username, "users_edit")) return fail("权限不足：没有重置用户密码的权限");
  return db::with_connection<Unit>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Unit> {
    c.execute("UPDATE users SET password = ?1 WHERE id = ?2", new_password, target_user_id);
    std::string name;  // for the log entry only: an unknown id logs the empty name
    try {
      name = c.query_text("SELECT username FROM users WHERE id=?1", target_user_id);
    } catch (const db::DbError&) {
    }
    log_operation(username, real_name, "重置密码", kModule, "重置用户 '" + name + "' 的密码");
    return Unit{};
  });
}

std::vector<std::string> load_role_permission_keys(db::Connection& c, const std::string& role) {
  std::vector<std::string> keys;
  try {
    db::Statement s = c.prepare("SELECT permission_key FROM role_permissions WHERE role_name=?1 AND is_granted=1");
    s.bind(role);
    while (s.step()) {
      if (s.column_type(0) == SQLITE_TEXT) keys.push_back(s.text(0));  // a key that is not text is skipped
    }
  } catch (const db::DbError&) {
    // A failed step ends the list with the keys gathered so far.
  }
  return keys;
}

Result<LoginResponse> login(const LoginRequest& request) {
  return db::with_connection<LoginResponse>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<LoginResponse> {
    db::Statement row =
        c.prepare("SELECT id, username, password, real_name, role, created_at FROM users WHERE username = ?1");
    row.bind(request.username);
    if (!row.step()) return refused("用户名不存在");
    const std::string stored_password = row.text(2);
    // A logged-in name is refused before its password is looked at.
    if (logged_in(request.username)) return refused("???????????");
    if (stored_password != request.password) return refused("密码错误");
    // The whole account is read before the name is recorded, so that a row
    // that cannot be read fails the call without locking the name out.
    const std::string role = row.text(4);
    User user{row.text(0), row.text(1), "", row.text(3), user_role(role), load_role_permission_keys(c, role),
              row.text(5)};
    {
      ActiveSessions& s = active_sessions();
      std::lock_guard lock(s.mutex);
      s.names.insert(request.username);
    }
    return LoginResponse{true, "登录成功", std::move(user)};
  });
}

Result<Unit> logout(const std::string& username) {
  ActiveSessions& s = active_sessions();
  std::lock_guard lock(s.mutex);
  s.names.erase(username);
  return Unit{};
}
