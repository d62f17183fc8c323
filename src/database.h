// The database: the one shared connection to inventory.db (DB_CONNECTION),
// its schema, migrations and default rows, and the helpers every handler
// uses to borrow the connection, run statements and read rows.
//
// A handler reads as its business rule:
//
//   return db::with_connection<Json>(kTexts, [&](db::Connection& c) -> Result<Json> {
//     c.execute("UPDATE units SET name = ?1 WHERE id = ?2", name, id);
//     return Json(nullptr);
//   });
//
// Statements throw db::DbError carrying the engine's own text; with_connection
// turns it into the module's failure text. Any other exception that escapes the
// work poisons the connection for the rest of the process.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json.h"
#include "result.h"

namespace db {

// A failure of the SQL engine (or of a typed column read); what() is the text.
class DbError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text a poisoned lock reports.
inline constexpr std::string_view kPoisonedText = "poisoned lock: another task failed inside";

// Statement parameters: text, numbers, booleans, null and optional values.
using Null = std::nullptr_t;

// A prepared statement borrowed from a connection's cache for one use. It is
// handed back (reset, bindings cleared) when this object goes away.
class Statement {
 public:
  Statement(Statement&&) noexcept;
  Statement& operator=(Statement&&) = delete;
  ~Statement();

  // Binds ?1, ?2, ... in order; a count other than the SQL names fails with
  // "Wrong number of parameters passed to query. Got {}, needed {}".
  template <class... A>
  Statement& bind(const A&... params) {
    check_parameter_count(static_cast<int>(sizeof...(A)));  // as many as the SQL names
    int i = 0;
    (bind_one(++i, params), ...);
    return *this;
  }
  bool step();  // true while a row is ready
  void run();   // runs a statement that changes data to its end

  int column_count() const;
  std::string column_name(int i) const;
  int column_type(int i) const;  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB, SQLITE_NULL
  bool is_null(int i) const;

  // Typed readers with the engine-style failure texts:
  // "Invalid column type {Null|Integer|Real|Text|Blob} at index: {}, name: {}".
  // Integers convert to double; nothing else converts.
  std::string text(int i) const;
  double real(int i) const;
  int64_t integer(int i) const;
  bool boolean(int i) const;  // an integer, non-zero is true
  std::optional<std::string> opt_text(int i) const;
  std::optional<double> opt_real(int i) const;
  std::optional<int64_t> opt_integer(int i) const;
  // Lenient readers: NULL or another type gives the fallback.
  std::string text_or(int i, std::string_view fallback) const;
  double real_or(int i, double fallback) const;
  int64_t integer_or(int i, int64_t fallback) const;
  // The column as JSON by its stored type (blob as text).
  Json value(int i) const;

  sqlite3_stmt* raw() const { return stmt_; }

 private:
  friend class Connection;
  Statement(class Connection* owner, sqlite3_stmt* stmt);
  void bind_one(int i, std::string_view v);
  void bind_one(int i, const std::string& v) { bind_one(i, std::string_view(v)); }
  void bind_one(int i, const char* v) { bind_one(i, std::string_view(v)); }
  void bind_one(int i, double v);
  void bind_one(int i, int64_t v);
  void bind_one(int i, int v) { bind_one(i, static_cast<int64_t>(v)); }
  void bind_one(int i, bool v) { bind_one(i, static_cast<int64_t>(v ? 1 : 0)); }
  void bind_one(int i, Null);
  template <class T>
  void bind_one(int i, const std::optional<T>& v) {
    if (v) bind_one(i, *v); else bind_one(i, nullptr);
  }
  [[noreturn]] void throw_column_type(int i) const;
  void check_parameter_count(int given) const;

  class Connection* owner_;
  sqlite3_stmt* stmt_;
};

// One open connection to inventory.db with its statement cache (16 statements,
// least recently used out).
class Connection {
 public:
  // Opens the file read-write, creating it, URI names allowed, no SQLite
  // mutex, busy timeout 5000 ms. Throws DbError with the engine's text.
  static std::unique_ptr<Connection> open(const std::string& path);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Statement prepare(std::string_view sql);  // through the cache

  // Runs a statement that changes data; returns the number of rows changed.
  template <class... A>
  int64_t execute(std::string_view sql, const A&... params) {
    Statement s = prepare(sql);
    s.bind(params...);
    s.run();
    return changes();
  }
  // Runs one or more statements without parameters, outside the cache.
  void exec(std::string_view sql);

  // Reads one value of the first row; fails with "Query returned no rows".
  template <class... A>
  int64_t query_integer(std::string_view sql, const A&... params) {
    Statement s = prepare(sql);
    s.bind(params...);
    if (!s.step()) throw DbError("Query returned no rows");
    return s.integer(0);
  }
  template <class... A>
  std::string query_text(std::string_view sql, const A&... params) {
    Statement s = prepare(sql);
    s.bind(params...);
    if (!s.step()) throw DbError("Query returned no rows");
    return s.text(0);
  }
  // As query_text, but any failure (no row included) gives the fallback.
  template <class... A>
  std::string query_text_or(std::string_view fallback, std::string_view sql, const A&... params) {
    try {
      return query_text(sql, params...);
    } catch (const DbError&) {
      return std::string(fallback);
    }
  }

  int64_t changes() const;
  int64_t last_insert_rowid() const;
  bool table_exists(std::string_view table);
  bool column_exists(std::string_view table, std::string_view column);
  size_t cached_statements() const;
  sqlite3* handle() const { return db_; }

 private:
  friend class Statement;
  explicit Connection(sqlite3* db);
  void give_back(sqlite3_stmt* stmt);
  struct Cache;
  sqlite3* db_;
  std::unique_ptr<Cache> cache_;
};

// The failure texts with which one module's handlers borrow the connection.
struct BorrowTexts {
  std::string_view not_initialised;   // the slot is empty
  std::string_view poisoned_format;   // "{}" stands for kPoisonedText
  std::string (*db_error)(const std::string& engine_text);  // maps a DbError text
};

std::string unchanged(const std::string& text);

// "系统错误：数据库未初始化" / "系统错误：{}" / friendly_error.
extern const BorrowTexts kFriendlyTexts;
// "Database not initialized" / "{}" / unchanged.
extern const BorrowTexts kPlainTexts;
// "系统错误：数据库未初始化" / "系统错误：数据库访问失败 - {}" / unchanged
// (roles and permissions, operation log, settings, detail statistics, search).
extern const BorrowTexts kAccessTexts;
// "数据库未初始化" / "数据库锁获取失败: {}" / unchanged (automatic backup).
extern const BorrowTexts kAutoBackupTexts;
// "数据库连接未初始化" / "无法获取数据库锁: {}" / unchanged (restore).
extern const BorrowTexts kRestoreTexts;

// DB_CONNECTION: the lock, the poisoned flag and the slot.
class SharedConnection {
 public:
  std::mutex mutex;
  bool poisoned = false;              // guarded by mutex; never cleared
  std::unique_ptr<Connection> slot;   // guarded by mutex
};
SharedConnection& db_connection();

std::string format_poisoned(std::string_view format);

// Sets the poisoned flag when it is destroyed by the unwinding of an exception
// (an unexpected fault escaping work done under the lock). Work that was
// already unwinding when it took the lock does not poison.
class PoisonGuard {
 public:
  explicit PoisonGuard(SharedConnection& shared)
      : shared_(shared), uncaught_(std::uncaught_exceptions()) {}
  ~PoisonGuard() {
    if (uncaught_ == 0 && std::uncaught_exceptions() > 0) shared_.poisoned = true;
  }
  PoisonGuard(const PoisonGuard&) = delete;
  PoisonGuard& operator=(const PoisonGuard&) = delete;

 private:
  SharedConnection& shared_;
  int uncaught_;
};

// Borrows the shared connection for the whole of fn(Connection&) -> Result<T>:
// waits for the lock; poisoned: the module's lock text; empty slot: its
// not-initialised text; a DbError escaping fn: texts.db_error of its text.
// Any other exception poisons the connection and propagates.
template <class T, class F>
Result<T> with_connection(const BorrowTexts& texts, F&& fn) {
  SharedConnection& shared = db_connection();
  std::unique_lock lock(shared.mutex);
  if (shared.poisoned) return Error{format_poisoned(texts.poisoned_format)};
  if (!shared.slot) return Error{std::string(texts.not_initialised)};
  PoisonGuard guard(shared);  // destroyed before the lock is released
  try {
    return fn(*shared.slot);
  } catch (const DbError& e) {
    return Error{texts.db_error(e.what())};
  }
}

// Runs fn(Connection&) -> Result<T> inside "BEGIN DEFERRED" ... COMMIT; a
// failure result or an exception rolls back. DbError propagates.
template <class T, class F>
Result<T> in_transaction(Connection& c, F&& fn) {
  c.exec("BEGIN DEFERRED");
  try {
    Result<T> r = fn(c);
    if (r.ok()) c.exec("COMMIT");
    else c.exec("ROLLBACK");
    return r;
  } catch (...) {
    try { c.exec("ROLLBACK"); } catch (...) {}
    throw;
  }
}

// Shared row readers: one column table per result record. A strict reader
// fails on NULL or a mistyped column with the engine-style text; a lenient
// one puts the kind's fallback in its place.
enum class ColumnKind {
  Text, OptText, Real, OptReal, Integer, OptInteger, Boolean,
  EmptyIfNull,     // text; NULL gives "" (a strict reader still fails on another type)
  EmptyIfNotText,  // text; NULL or any other type gives "", even when strict
  // 32-bit integers: a stored integer outside that range fails a strict row
  // with "Integer {} out of range at index {}" (a lenient one reads 0).
  Int32,
  Int32Boolean,     // non-zero is true
  Int32ZeroIfNull,  // NULL gives 0 (a strict reader still fails on another type)
};
struct Column {
  std::string_view name;  // the JSON key; also the column's name in SELECTs
  ColumnKind kind;
};
enum class Strictness { Strict, Lenient };
// Reads columns 0..n-1 of the current row into a JSON object keyed by name.
Json read_row(const Statement& s, std::span<const Column> columns, Strictness strictness);
// Runs a query and reads every row.
template <class... A>
Json read_rows(Connection& c, std::string_view sql, std::span<const Column> columns,
               Strictness strictness, const A&... params) {
  Statement s = c.prepare(sql);
  s.bind(params...);
  Json rows = Json::array();
  while (s.step()) rows.push_back(read_row(s, columns, strictness));
  return rows;
}

// A listing whose two failures the module names: a statement that cannot be
// prepared or bound fails with `query_failed` followed by the engine's text,
// a row that cannot be stepped or read with `read_failed` followed by it.
template <class... A>
Result<Json> list_rows(Connection& c, std::string_view sql, std::span<const Column> columns,
                       std::string_view query_failed, std::string_view read_failed, const A&... params) {
  std::optional<Statement> s;
  try {
    s.emplace(c.prepare(sql));
    s->bind(params...);
  } catch (const DbError& e) {
    return Error{std::string(query_failed) + e.what()};
  }
  Json rows = Json::array();
  try {
    while (s->step()) rows.push_back(read_row(*s, columns, Strictness::Strict));
  } catch (const DbError& e) {
    return Error{std::string(read_failed) + e.what()};
  }
  return rows;
}

// One number, or none when the query fails or finds no row.
template <class... A>
std::optional<int64_t> try_query_integer(Connection& c, std::string_view sql, const A&... params) {
  try {
    return c.query_integer(sql, params...);
  } catch (const DbError&) {
    return std::nullopt;
  }
}

// Shared values of every row.
std::string new_record_id();   // random UUID v4, lower case with hyphens
std::string local_timestamp(); // "%Y-%m-%d %H:%M:%S", local time
std::string local_date();      // "%Y-%m-%d"

// --- schema, migrations, default rows, initialisation ----------------------

inline constexpr int kSchemaVersion = 9;
inline constexpr const char* kDatabaseFile = "inventory.db";

// Opens (creating) inventory.db in the working directory, brings it to the
// current schema, seeds the default rows and puts the connection in the slot
// (closing the connection it held). Holds the lock throughout. On failure the
// new connection is closed and the slot keeps what it held. Also called again
// by a restore after it has replaced the file.
Result<Unit> init_database();

// Schema steps, on a connection whose lock the caller holds.
// A failed read of PRAGMA user_version fails run_migrations with the engine's
// text (it does not count as version 0).
Result<Unit> run_migrations(Connection& c);
Result<Unit> add_column_if_missing(Connection& c, std::string_view table, std::string_view column,
                                   std::string_view type, std::string_view default_value);
Result<Unit> set_schema_version(Connection& c, int32_t version);
// 20 lines "{} 表正常 ({} 条记录)" / "{} 表异常: {}", then the product column
// lines; fails only for a missing core table.
Result<std::vector<std::string>> verify_core_tables(Connection& c);

// Error-text mapping.
std::string friendly_error(const std::string& text);
bool contains_cjk(std::string_view text);  // any of U+4E00..U+9FFF
std::string poison_error_text(std::string_view lock_text = kPoisonedText);
std::string db_error_text(const DbError& e);
std::string json_error_text(const std::exception& e);

}  // namespace db
