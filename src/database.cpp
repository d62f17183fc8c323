// The database core (Parts 1.106 to 1.111): DB_CONNECTION, connections and
// their statement cache, typed readers, the schema of 30 tables, migrations
// 1 to 9, verify_core_tables, the default rows, the error-text mapping and
// init_database.
#include "database.h"

#include <time.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <list>
#include <unordered_map>

#include "permission_keys.h"

static_assert(SQLITE_VERSION_NUMBER >= 3045000, "SQLite 3.45 or later is required");

namespace db {

namespace {

constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
static_assert(kOpenFlags == 0x8046);
constexpr int kBusyTimeoutMs = 5000;
constexpr size_t kCacheCapacity = 16;

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

}  // namespace

// ===========================================================================
// Statement
// ===========================================================================

Statement::Statement(Connection* owner, sqlite3_stmt* stmt) : owner_(owner), stmt_(stmt) {}

Statement::Statement(Statement&& other) noexcept : owner_(other.owner_), stmt_(other.stmt_) {
  other.stmt_ = nullptr;
}

Statement::~Statement() {
  if (stmt_) owner_->give_back(stmt_);
}

void Statement::check_parameter_count(int given) const {
  const int needed = sqlite3_bind_parameter_count(stmt_);
  if (given != needed) {
    throw DbError("Wrong number of parameters passed to query. Got " + std::to_string(given) + ", needed " +
                  std::to_string(needed));
  }
}

namespace {
void check_bind(sqlite3_stmt* stmt, int rc) {
  if (rc != SQLITE_OK) throw DbError(sqlite3_errmsg(sqlite3_db_handle(stmt)));
}
}  // namespace

void Statement::bind_one(int i, std::string_view v) {
  check_bind(stmt_, sqlite3_bind_text64(stmt_, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
}
void Statement::bind_one(int i, double v) { check_bind(stmt_, sqlite3_bind_double(stmt_, i, v)); }
void Statement::bind_one(int i, int64_t v) { check_bind(stmt_, sqlite3_bind_int64(stmt_, i, v)); }
void Statement::bind_one(int i, Null) { check_bind(stmt_, sqlite3_bind_null(stmt_, i)); }

bool Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw DbError(sqlite3_errmsg(sqlite3_db_handle(stmt_)));
}

void Statement::run() {
  while (step()) {
  }
}

int Statement::column_count() const { return sqlite3_column_count(stmt_); }

std::string Statement::column_name(int i) const {
  const char* n = sqlite3_column_name(stmt_, i);
  return n ? n : "";
}

int Statement::column_type(int i) const {
  if (i < 0 || i >= column_count()) throw DbError("Invalid column index: " + std::to_string(i));
  return sqlite3_column_type(stmt_, i);
}

bool Statement::is_null(int i) const { return column_type(i) == SQLITE_NULL; }

void Statement::throw_column_type(int i) const {
  const char* type = "Null";
  switch (sqlite3_column_type(stmt_, i)) {
    case SQLITE_INTEGER: type = "Integer"; break;
    case SQLITE_FLOAT: type = "Real"; break;
    case SQLITE_TEXT: type = "Text"; break;
    case SQLITE_BLOB: type = "Blob"; break;
    default: break;
  }
  throw DbError(std::string("Invalid column type ") + type + " at index: " + std::to_string(i) +
                ", name: " + column_name(i));
}

namespace {
std::string column_bytes(sqlite3_stmt* s, int i) {
  const void* p = sqlite3_column_type(s, i) == SQLITE_BLOB ? sqlite3_column_blob(s, i)
                                                          : static_cast<const void*>(sqlite3_column_text(s, i));
  const int n = sqlite3_column_bytes(s, i);
  return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}
}  // namespace


std::string Statement::text(int i) const {
  if (column_type(i) != SQLITE_TEXT) throw_column_type(i);
  std::string bytes = column_bytes(stmt_, i);
  if (std::string fault = json::utf8_fault(bytes); !fault.empty())
    throw DbError("Conversion error from type Text at index: " + std::to_string(i) + ", " + fault);
  return bytes;
}

double Statement::real(int i) const {
  switch (column_type(i)) {
    case SQLITE_FLOAT: return sqlite3_column_double(stmt_, i);
    case SQLITE_INTEGER: return static_cast<double>(sqlite3_column_int64(stmt_, i));
    default: throw_column_type(i);
  }
}

int64_t Statement::integer(int i) const {
  if (column_type(i) != SQLITE_INTEGER) throw_column_type(i);
  return sqlite3_column_int64(stmt_, i);
}

bool Statement::boolean(int i) const { return integer(i) != 0; }

std::optional<std::string> Statement::opt_text(int i) const {
  if (is_null(i)) return std::nullopt;
  return text(i);
}
std::optional<double> Statement::opt_real(int i) const {
  if (is_null(i)) return std::nullopt;
  return real(i);
}
std::optional<int64_t> Statement::opt_integer(int i) const {
  if (is_null(i)) return std::nullopt;
  return integer(i);
}

std::string Statement::text_or(int i, std::string_view fallback) const {
  if (column_type(i) != SQLITE_TEXT) return std::string(fallback);
  std::string bytes = column_bytes(stmt_, i);
  return json::valid_utf8(bytes) ? bytes : std::string(fallback);
}
double Statement::real_or(int i, double fallback) const {
  const int t = column_type(i);
  return t == SQLITE_FLOAT || t == SQLITE_INTEGER ? real(i) : fallback;
}
int64_t Statement::integer_or(int i, int64_t fallback) const {
  return column_type(i) == SQLITE_INTEGER ? sqlite3_column_int64(stmt_, i) : fallback;
}

Json Statement::value(int i) const {
  switch (column_type(i)) {
    case SQLITE_INTEGER: return Json(static_cast<int64_t>(sqlite3_column_int64(stmt_, i)));
    case SQLITE_FLOAT: return Json(sqlite3_column_double(stmt_, i));
    case SQLITE_TEXT:
    case SQLITE_BLOB: return Json(column_bytes(stmt_, i));
    default: return Json(nullptr);
  }
}

// ===========================================================================
// Connection and its statement cache
// ===========================================================================

// Statements keyed by their exact SQL text, most recently used first. A
// statement in use is out of the cache (in `out`) and comes back, reset and
// with its bindings cleared, when its Statement goes away; the return may
// push the least recently used statement out (finalised).
struct Connection::Cache {
  using Entry = std::pair<std::string, sqlite3_stmt*>;
  std::list<Entry> lru;
  std::unordered_map<std::string_view, std::list<Entry>::iterator> index;  // views into lru keys
  std::unordered_map<sqlite3_stmt*, std::string> out;

  ~Cache() {
    for (Entry& e : lru) sqlite3_finalize(e.second);
    for (auto& [stmt, sql] : out) sqlite3_finalize(stmt);
  }
};

Connection::Connection(sqlite3* db) : db_(db), cache_(std::make_unique<Cache>()) {}

Connection::~Connection() {
  cache_.reset();  // finalises every statement
  sqlite3_close_v2(db_);
}

std::unique_ptr<Connection> Connection::open(const std::string& path) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, kOpenFlags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    throw DbError(message);
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return std::unique_ptr<Connection>(new Connection(db));
}

Statement Connection::prepare(std::string_view sql) {
  Cache& cache = *cache_;
  if (auto it = cache.index.find(sql); it != cache.index.end()) {
    auto node = it->second;
    cache.index.erase(it);
    sqlite3_stmt* stmt = node->second;
    cache.out.emplace(stmt, std::move(node->first));
    cache.lru.erase(node);
    return Statement(this, stmt);
  }
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                                    &tail);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt);
    throw DbError(sqlite3_errmsg(db_));
  }
  if (!stmt) throw DbError("Query is empty");
  if (tail) {
    const std::string_view rest(tail, static_cast<size_t>(sql.data() + sql.size() - tail));
    if (std::any_of(rest.begin(), rest.end(), [](char ch) { return !std::isspace(static_cast<unsigned char>(ch)); })) {
      sqlite3_finalize(stmt);
      throw DbError("Multiple statements provided");
    }
  }
  try {
    cache_->out.emplace(stmt, std::string(sql));
  } catch (...) {
    sqlite3_finalize(stmt);
    throw;
  }
  return Statement(this, stmt);
}

void Connection::give_back(sqlite3_stmt* stmt) {
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  Cache& cache = *cache_;
  auto out = cache.out.find(stmt);
  if (out == cache.out.end()) {  // not ours; cannot happen
    sqlite3_finalize(stmt);
    return;
  }
  try {
    std::string sql = std::move(out->second);
    cache.out.erase(out);
    // The same text prepared twice at once: the one returned last stays.
    if (auto same = cache.index.find(sql); same != cache.index.end()) {
      auto node = same->second;
      cache.index.erase(same);
      sqlite3_finalize(node->second);
      cache.lru.erase(node);
    }
    cache.lru.emplace_front(std::move(sql), stmt);
    cache.index.emplace(cache.lru.front().first, cache.lru.begin());
    while (cache.lru.size() > kCacheCapacity) {
      auto last = std::prev(cache.lru.end());
      cache.index.erase(last->first);
      sqlite3_finalize(last->second);
      cache.lru.erase(last);
    }
  } catch (...) {  // out of memory: drop the statement rather than fail
    sqlite3_finalize(stmt);
  }
}

void Connection::exec(std::string_view sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, std::string(sql).c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string text = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    throw DbError(text);
  }
}

int64_t Connection::changes() const { return sqlite3_changes64(db_); }
int64_t Connection::last_insert_rowid() const { return sqlite3_last_insert_rowid(db_); }

bool Connection::table_exists(std::string_view table) {
  Statement s = prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
  s.bind(table);
  return s.step();
}

bool Connection::column_exists(std::string_view table, std::string_view column) {
  Statement s = prepare("SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
  s.bind(table, column);
  return s.step();
}

size_t Connection::cached_statements() const { return cache_->lru.size(); }

// ===========================================================================
// DB_CONNECTION and borrowing
// ===========================================================================

SharedConnection& db_connection() {
  // Created once, thread-safely, and never destroyed (worker threads may
  // still use it while the process ends).
  static SharedConnection* const shared = new SharedConnection();
  return *shared;
}

std::string unchanged(const std::string& text) { return text; }

const BorrowTexts kFriendlyTexts{"系统错误：数据库未初始化", "系统错误：{}", &friendly_error};
const BorrowTexts kPlainTexts{"Database not initialized", "{}", &unchanged};
const BorrowTexts kAccessTexts{"系统错误：数据库未初始化", "系统错误：数据库访问失败 - {}", &unchanged};
const BorrowTexts kAutoBackupTexts{"数据库未初始化", "数据库锁获取失败: {}", &unchanged};
const BorrowTexts kRestoreTexts{"数据库连接未初始化", "无法获取数据库锁: {}", &unchanged};

std::string format_poisoned(std::string_view format) {
  std::string out(format);
  if (auto at = out.find("{}"); at != std::string::npos) out.replace(at, 2, kPoisonedText);
  return out;
}

// ===========================================================================
// Row readers and shared values
// ===========================================================================

namespace {
int32_t int32_at(const Statement& s, int i) {
  const int64_t v = s.integer(i);
  if (v < INT32_MIN || v > INT32_MAX)
    throw DbError("Integer " + std::to_string(v) + " out of range at index " + std::to_string(i));
  return static_cast<int32_t>(v);
}
int32_t int32_or_zero(const Statement& s, int i) {
  const int64_t v = s.integer_or(i, 0);
  return v < INT32_MIN || v > INT32_MAX ? 0 : static_cast<int32_t>(v);
}
}  // namespace

Json read_row(const Statement& s, std::span<const Column> columns, Strictness strictness) {
  Json row = Json::object();
  const bool strict = strictness == Strictness::Strict;
  for (size_t n = 0; n < columns.size(); ++n) {
    const int i = static_cast<int>(n);
    const Column& col = columns[n];
    Json v;
    switch (col.kind) {
      case ColumnKind::Text:
        v = strict ? s.text(i) : s.text_or(i, "");
        break;
      case ColumnKind::OptText:
        if (strict) {
          auto t = s.opt_text(i);
          v = t ? Json(*t) : Json(nullptr);
        } else {
          v = s.column_type(i) == SQLITE_TEXT ? Json(s.text(i)) : Json(nullptr);
        }
        break;
      case ColumnKind::Real:
        v = strict ? s.real(i) : s.real_or(i, 0.0);
        break;
      case ColumnKind::OptReal:
        if (strict) {
          auto r = s.opt_real(i);
          v = r ? Json(*r) : Json(nullptr);
        } else {
          const int t = s.column_type(i);
          v = t == SQLITE_FLOAT || t == SQLITE_INTEGER ? Json(s.real(i)) : Json(nullptr);
        }
        break;
      case ColumnKind::Integer:
        v = strict ? s.integer(i) : s.integer_or(i, 0);
        break;
      case ColumnKind::OptInteger:
        if (strict) {
          auto r = s.opt_integer(i);
          v = r ? Json(*r) : Json(nullptr);
        } else {
          v = s.column_type(i) == SQLITE_INTEGER ? Json(s.integer(i)) : Json(nullptr);
        }
        break;
      case ColumnKind::Boolean:
        v = strict ? s.boolean(i) : s.integer_or(i, 0) != 0;
        break;
      case ColumnKind::EmptyIfNull:
        v = strict && !s.is_null(i) ? s.text(i) : s.text_or(i, "");
        break;
      case ColumnKind::EmptyIfNotText:
        v = s.text_or(i, "");
        break;
      case ColumnKind::Int32:
        v = strict ? int32_at(s, i) : int32_or_zero(s, i);
        break;
      case ColumnKind::Int32Boolean:
        v = (strict ? int32_at(s, i) : int32_or_zero(s, i)) != 0;
        break;
      case ColumnKind::Int32ZeroIfNull:
        v = strict && !s.is_null(i) ? int32_at(s, i) : int32_or_zero(s, i);
        break;
    }
    row[std::string(col.name)] = std::move(v);
  }
  return row;
}

std::string new_record_id() {
  uuid_t u;
  uuid_generate_random(u);
  char text[37];
  uuid_unparse_lower(u, text);
  return std::string(text, 36);
}

namespace {
std::string local_time_text(const char* format) {
  const time_t now = time(nullptr);
  struct tm parts {};
  localtime_r(&now, &parts);
  char out[64];
  const size_t n = strftime(out, sizeof out, format, &parts);
  return std::string(out, n);
}
}  // namespace

std::string local_timestamp() { return local_time_text("%Y-%m-%d %H:%M:%S"); }
std::string local_date() { return local_time_text("%Y-%m-%d"); }

// ===========================================================================
// Error-text mapping
// ===========================================================================

bool contains_cjk(std::string_view text) {
  // Decode UTF-8; an ill-formed sequence counts as one non-CJK octet.
  size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 >= 0xE0 && b0 < 0xF0 && i + 2 < text.size()) {
      const auto b1 = static_cast<unsigned char>(text[i + 1]);
      const auto b2 = static_cast<unsigned char>(text[i + 2]);
      if ((b1 & 0xC0) == 0x80 && (b2 & 0xC0) == 0x80) {
        const uint32_t cp = ((b0 & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu);
        if (cp >= 0x4E00 && cp <= 0x9FFF) return true;
        i += 3;
        continue;
      }
    }
    ++i;
  }
  return false;
}

std::string friendly_error(const std::string& text) {
  std::string lower = text;
  for (char& ch : lower) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  auto has = [&](std::string_view word) { return contains(lower, word); };
  if (has("unique constraint") && has("code")) return "操作失败：商品编码已存在，请使用其他编码";
  if (has("unique constraint")) return "操作失败：数据已存在，请检查是否重复添加";
  if (has("no such table")) return "系统错误：数据库表不存在，请重新初始化数据库";
  if (has("database not initialized")) return "系统错误：数据库未初始化";
  if (has("not found") || has("no rows")) return "操作失败：未找到对应的数据记录";
  if (has("out of memory")) return "系统错误：内存不足";
  if (has("permission denied")) return "系统错误：权限不足";
  if (has("connection refused")) return "系统错误：数据库连接失败";
  if (has("timeout")) return "系统错误：操作超时";
  if (has("already exists")) return "操作失败：数据已存在";
  if (has("库存不足") || has("insufficient stock")) return "操作失败：库存不足";
  if (has("cannot") && has("admin")) return "操作失败：不能删除或修改默认管理员账户";
  if (has("用户名已存在") || has("username already exists")) return "操作失败：用户名已存在";
  if (has("原密码错误") || has("old password")) return "操作失败：原密码错误";
  if (has("密码错误") || has("wrong password")) return "操作失败：密码错误";
  if (has("图片") || (has("image") && has("fail"))) return "操作失败：图片处理出错，请重试";
  if (contains_cjk(text)) return text;
  return "系统错误：" + text;
}

std::string poison_error_text(std::string_view lock_text) { return friendly_error(std::string(lock_text)); }
std::string db_error_text(const DbError& e) { return friendly_error(e.what()); }
std::string json_error_text(const std::exception& e) { return friendly_error(e.what()); }

// ===========================================================================
// Schema: the 30 tables in creation order
// ===========================================================================

namespace {

constexpr std::array<std::string_view, 30> kCreateTables{
    // 1
    "CREATE TABLE IF NOT EXISTS users ("
    "id TEXT PRIMARY KEY, username TEXT UNIQUE NOT NULL, password TEXT NOT NULL, real_name TEXT NOT NULL, "
    "role TEXT NOT NULL, created_at TEXT NOT NULL)",
    // 2
    "CREATE TABLE IF NOT EXISTS products ("
    "id TEXT PRIMARY KEY, name TEXT NOT NULL, code TEXT UNIQUE NOT NULL, category TEXT, unit TEXT DEFAULT '', "
    "unit2 TEXT DEFAULT '', price REAL DEFAULT 0.0, cost REAL DEFAULT 0.0, stock REAL DEFAULT 0.0, "
    "stock_unit2 REAL DEFAULT 0.0, batch_no TEXT DEFAULT '', production_date TEXT DEFAULT '', "
    "expiry_date TEXT DEFAULT '', brand TEXT DEFAULT '', model TEXT DEFAULT '', package_type TEXT DEFAULT '', "
    "description TEXT, image_path TEXT DEFAULT '', warehouse_id TEXT DEFAULT '', location_id TEXT DEFAULT '', "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 3
    "CREATE TABLE IF NOT EXISTS customers ("
    "id TEXT PRIMARY KEY, name TEXT NOT NULL, contact TEXT, phone TEXT, address TEXT, balance REAL DEFAULT 0.0, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 4
    "CREATE TABLE IF NOT EXISTS suppliers ("
    "id TEXT PRIMARY KEY, name TEXT NOT NULL, contact TEXT, phone TEXT, address TEXT, balance REAL DEFAULT 0.0, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 5
    "CREATE TABLE IF NOT EXISTS sale_orders ("
    "id TEXT PRIMARY KEY, order_no TEXT UNIQUE NOT NULL, customer_id TEXT, customer_name TEXT, "
    "total_amount REAL DEFAULT 0.0, status TEXT DEFAULT 'completed', remark TEXT, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 6
    "CREATE TABLE IF NOT EXISTS sale_order_items ("
    "id TEXT PRIMARY KEY, order_id TEXT, product_id TEXT, product_name TEXT, quantity REAL DEFAULT 0.0, "
    "price REAL, amount REAL, batch_no TEXT DEFAULT '')",
    // 7
    "CREATE TABLE IF NOT EXISTS purchase_orders ("
    "id TEXT PRIMARY KEY, order_no TEXT UNIQUE NOT NULL, supplier_id TEXT, supplier_name TEXT, "
    "total_amount REAL DEFAULT 0.0, status TEXT DEFAULT 'completed', remark TEXT, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 8
    "CREATE TABLE IF NOT EXISTS purchase_order_items ("
    "id TEXT PRIMARY KEY, order_id TEXT, product_id TEXT, product_name TEXT, quantity REAL DEFAULT 0.0, "
    "price REAL, amount REAL, batch_no TEXT DEFAULT '')",
    // 9
    "CREATE TABLE IF NOT EXISTS inventory_records ("
    "id TEXT PRIMARY KEY, product_id TEXT NOT NULL, product_name TEXT NOT NULL, change_type TEXT NOT NULL, "
    "quantity REAL NOT NULL, before_stock REAL NOT NULL, after_stock REAL NOT NULL, remark TEXT, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 10
    "CREATE TABLE IF NOT EXISTS print_templates ("
    "id TEXT PRIMARY KEY, template_name TEXT NOT NULL, paper_size TEXT NOT NULL, paper_width REAL NOT NULL, "
    "paper_height REAL NOT NULL, margin_top REAL NOT NULL, margin_bottom REAL NOT NULL, "
    "margin_left REAL NOT NULL, margin_right REAL NOT NULL, header_text TEXT, footer_text TEXT, "
    "show_logo INTEGER DEFAULT 0, logo_path TEXT, font_size INTEGER DEFAULT 12, is_default INTEGER DEFAULT 0, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 11
    "CREATE TABLE IF NOT EXISTS product_specs ("
    "id TEXT PRIMARY KEY, product_id TEXT NOT NULL, spec_name TEXT NOT NULL, spec_value TEXT NOT NULL, "
    "price REAL DEFAULT 0.0, stock INTEGER DEFAULT 0, created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 12
    "CREATE TABLE IF NOT EXISTS categories ("
    "id TEXT PRIMARY KEY, name TEXT NOT NULL, parent_id TEXT DEFAULT '', sort_order INTEGER DEFAULT 0, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 13
    "CREATE TABLE IF NOT EXISTS billing_records ("
    "id TEXT PRIMARY KEY, party_type TEXT NOT NULL, party_id TEXT NOT NULL, party_name TEXT NOT NULL, "
    "order_id TEXT, order_no TEXT, amount REAL NOT NULL, paid_amount REAL DEFAULT 0.0, bill_type TEXT NOT NULL, "
    "bill_date TEXT NOT NULL, due_date TEXT, status TEXT DEFAULT 'unpaid', remark TEXT, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 14
    "CREATE TABLE IF NOT EXISTS sale_templates ("
    "id TEXT PRIMARY KEY, template_name TEXT NOT NULL, fields_config TEXT NOT NULL, is_default INTEGER DEFAULT 0, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 15
    "CREATE TABLE IF NOT EXISTS warehouses ("
    "id TEXT PRIMARY KEY, name TEXT NOT NULL, code TEXT UNIQUE NOT NULL, address TEXT, contact TEXT, phone TEXT, "
    "description TEXT, is_default INTEGER DEFAULT 0, created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 16
    "CREATE TABLE IF NOT EXISTS locations ("
    "id TEXT PRIMARY KEY, warehouse_id TEXT NOT NULL, warehouse_name TEXT DEFAULT '', code TEXT NOT NULL, "
    "name TEXT NOT NULL, zone TEXT, aisle TEXT, shelf TEXT, level TEXT, position TEXT, description TEXT, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')), UNIQUE(warehouse_id, code))",
    // 17
    "CREATE TABLE IF NOT EXISTS transfer_orders ("
    "id TEXT PRIMARY KEY, order_no TEXT UNIQUE NOT NULL, from_warehouse_id TEXT NOT NULL, "
    "from_warehouse_name TEXT, to_warehouse_id TEXT NOT NULL, to_warehouse_name TEXT, "
    "status TEXT DEFAULT 'pending', remark TEXT, created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 18
    "CREATE TABLE IF NOT EXISTS transfer_order_items ("
    "id TEXT PRIMARY KEY, transfer_id TEXT NOT NULL, product_id TEXT NOT NULL, product_name TEXT, "
    "quantity REAL NOT NULL, unit TEXT, batch_no TEXT)",
    // 19
    "CREATE TABLE IF NOT EXISTS invoices ("
    "id TEXT PRIMARY KEY, invoice_type TEXT NOT NULL, invoice_no TEXT NOT NULL, party_id TEXT, party_name TEXT, "
    "order_id TEXT, order_no TEXT, amount REAL DEFAULT 0.0, tax_amount REAL DEFAULT 0.0, invoice_date TEXT, "
    "remark TEXT, created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 20
    "CREATE TABLE IF NOT EXISTS payment_records ("
    "id TEXT PRIMARY KEY, billing_id TEXT NOT NULL, party_type TEXT, party_id TEXT, party_name TEXT, "
    "amount REAL DEFAULT 0.0, payment_date TEXT, remark TEXT, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 21
    "CREATE TABLE IF NOT EXISTS return_orders ("
    "id TEXT PRIMARY KEY, return_no TEXT UNIQUE NOT NULL, return_type TEXT NOT NULL, party_id TEXT, "
    "party_name TEXT, total_amount REAL DEFAULT 0.0, reason TEXT, status TEXT DEFAULT 'completed', "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 22
    "CREATE TABLE IF NOT EXISTS return_order_items ("
    "id TEXT PRIMARY KEY, return_id TEXT NOT NULL, product_id TEXT NOT NULL, product_name TEXT, "
    "quantity REAL NOT NULL, price REAL, amount REAL, batch_no TEXT)",
    // 23
    "CREATE TABLE IF NOT EXISTS stock_transactions ("
    "id TEXT PRIMARY KEY, product_id TEXT NOT NULL, product_name TEXT, transaction_type TEXT NOT NULL, "
    "quantity REAL NOT NULL, before_stock REAL DEFAULT 0.0, after_stock REAL DEFAULT 0.0, ref_order_no TEXT, "
    "remark TEXT, created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 24
    "CREATE TABLE IF NOT EXISTS assembly_records ("
    "id TEXT PRIMARY KEY, record_no TEXT UNIQUE NOT NULL, assembly_type TEXT NOT NULL, product_id TEXT NOT NULL, "
    "product_name TEXT, quantity REAL NOT NULL, components TEXT, remark TEXT, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 25
    "CREATE TABLE IF NOT EXISTS product_packages ("
    "id TEXT PRIMARY KEY, product_id TEXT NOT NULL, package_name TEXT NOT NULL, package_code TEXT NOT NULL, "
    "quantity INTEGER DEFAULT 1, is_shared INTEGER DEFAULT 0, shared_products TEXT, sort_order INTEGER DEFAULT 0, "
    "created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 26
    "CREATE TABLE IF NOT EXISTS warehouse_stock ("
    "id TEXT PRIMARY KEY, product_id TEXT NOT NULL, warehouse_id TEXT NOT NULL, warehouse_name TEXT DEFAULT '', "
    "stock REAL DEFAULT 0.0, updated_at TEXT DEFAULT (datetime('now', 'localtime')), "
    "UNIQUE(product_id, warehouse_id))",
    // 27
    "CREATE TABLE IF NOT EXISTS system_config ("
    "id TEXT PRIMARY KEY, config_key TEXT UNIQUE NOT NULL, config_value TEXT NOT NULL, description TEXT DEFAULT '', "
    "updated_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 28
    "CREATE TABLE IF NOT EXISTS operation_logs ("
    "id TEXT PRIMARY KEY, username TEXT NOT NULL, real_name TEXT NOT NULL, action TEXT NOT NULL, "
    "module TEXT NOT NULL, detail TEXT DEFAULT '', created_at TEXT DEFAULT (datetime('now', 'localtime')))",
    // 29
    "CREATE TABLE IF NOT EXISTS role_permissions ("
    "id TEXT PRIMARY KEY, role_name TEXT NOT NULL, permission_key TEXT NOT NULL, permission_name TEXT DEFAULT '', "
    "is_granted INTEGER DEFAULT 1, updated_at TEXT DEFAULT (datetime('now', 'localtime')), "
    "UNIQUE(role_name, permission_key))",
    // 30
    "CREATE TABLE IF NOT EXISTS product_documents ("
    "id TEXT PRIMARY KEY, product_id TEXT NOT NULL, file_name TEXT NOT NULL, file_type TEXT DEFAULT '', "
    "file_size INTEGER DEFAULT 0, file_data TEXT NOT NULL, created_at TEXT DEFAULT (datetime('now', 'localtime')))",
};

constexpr size_t kLocationsTableIndex = 15;  // the 16th table
constexpr std::string_view kAlterLocations = "ALTER TABLE locations ADD COLUMN warehouse_name TEXT DEFAULT ''";

// The four statements that type untyped print templates by their name.
constexpr std::array<std::string_view, 4> kTemplateTypeUpdates{
    "UPDATE print_templates SET template_type='sale' WHERE template_name LIKE '%销售%' AND (template_type='' OR "
    "template_type IS NULL)",
    "UPDATE print_templates SET template_type='purchase' WHERE template_name LIKE '%采购%' AND (template_type='' OR "
    "template_type IS NULL)",
    "UPDATE print_templates SET template_type='stock_in' WHERE template_name LIKE '%入库%' AND (template_type='' OR "
    "template_type IS NULL)",
    "UPDATE print_templates SET template_type='stock_out' WHERE template_name LIKE '%出库%' AND (template_type='' OR "
    "template_type IS NULL)",
};

void run_ignoring_failure(Connection& c, std::string_view sql) {
  try {
    c.execute(sql);
  } catch (const DbError&) {
  }
}

// ===========================================================================
// Migrations
// ===========================================================================

struct AddColumn {
  std::string_view table, column, type, default_value;
};

constexpr AddColumn kStep2[] = {
    {"products", "barcode", "TEXT", "''"},
    {"products", "trace_code", "TEXT", "''"},
    {"products", "status", "TEXT", "'active'"},
    {"products", "category_id", "TEXT", "''"},
    {"sale_orders", "is_invoiced", "INTEGER", "0"},
    {"purchase_orders", "is_invoiced", "INTEGER", "0"},
    {"purchase_order_items", "expiry_date", "TEXT", "''"},
    {"locations", "warehouse_name", "TEXT", "''"},
};
constexpr AddColumn kStep4[] = {
    {"print_templates", "template_type", "TEXT", "''"},
};
constexpr AddColumn kStep6[] = {
    {"products", "batch_no", "TEXT", "''"},
    {"products", "expiry_date", "TEXT", "''"},
    {"products", "brand", "TEXT", "''"},
    {"products", "model", "TEXT", "''"},
    {"products", "package_type", "TEXT", "''"},
    {"products", "description", "TEXT", "''"},
    {"products", "image_path", "TEXT", "''"},
    {"products", "warehouse_id", "TEXT", "''"},
    {"products", "location_id", "TEXT", "''"},
    {"sale_order_items", "batch_no", "TEXT", "''"},
    {"purchase_order_items", "batch_no", "TEXT", "''"},
    {"purchase_order_items", "expiry_date", "TEXT", "''"},
    {"locations", "warehouse_name", "TEXT", "''"},
    {"print_templates", "template_type", "TEXT", "''"},
};
constexpr AddColumn kStep7[] = {
    {"products", "unit_rate", "REAL", "1.0"},
};
constexpr AddColumn kStep8[] = {
    {"products", "production_date", "TEXT", "''"},
};
constexpr AddColumn kStep9[] = {
    {"print_templates", "subheader_text", "TEXT", "''"},
    {"print_templates", "show_company_info", "INTEGER", "1"},
    {"print_templates", "show_order_no", "INTEGER", "1"},
    {"print_templates", "show_date", "INTEGER", "1"},
    {"print_templates", "show_customer", "INTEGER", "1"},
    {"print_templates", "show_items", "INTEGER", "1"},
    {"print_templates", "show_total", "INTEGER", "1"},
    {"print_templates", "show_remark", "INTEGER", "1"},
    {"print_templates", "show_signature", "INTEGER", "1"},
    {"print_templates", "show_unit_price", "INTEGER", "1"},
    {"print_templates", "show_amount", "INTEGER", "1"},
    {"print_templates", "show_model", "INTEGER", "1"},
    {"print_templates", "signer_name", "TEXT", "''"},
    {"print_templates", "auditor_name", "TEXT", "''"},
    {"print_templates", "confirmer_name", "TEXT", "''"},
};

Result<Unit> add_columns(Connection& c, std::span<const AddColumn> columns) {
  for (const AddColumn& a : columns) {
    auto r = add_column_if_missing(c, a.table, a.column, a.type, a.default_value);
    if (!r) return r;
  }
  return Unit{};
}

Result<Unit> run_step(Connection& c, int step) {
  Result<Unit> r = Unit{};
  switch (step) {
    case 2: r = add_columns(c, kStep2); break;
    case 4:
      r = add_columns(c, kStep4);
      if (r) for (std::string_view sql : kTemplateTypeUpdates) run_ignoring_failure(c, sql);
      break;
    case 5:
      run_ignoring_failure(c, "UPDATE sale_orders SET status = 'received' WHERE status = 'completed'");
      run_ignoring_failure(c, "UPDATE purchase_orders SET status = 'received' WHERE status = 'completed'");
      break;
    case 6: r = add_columns(c, kStep6); break;
    case 7: r = add_columns(c, kStep7); break;
    case 8: r = add_columns(c, kStep8); break;
    case 9: r = add_columns(c, kStep9); break;
    default: break;  // steps 1 and 3 only write their version
  }
  if (!r) return r;
  return set_schema_version(c, step);
}

}  // namespace

Result<Unit> set_schema_version(Connection& c, int32_t version) {
  try {
    c.execute("PRAGMA user_version = " + std::to_string(version));
    return Unit{};
  } catch (const DbError& e) {
    return Error{std::string("设置 Schema 版本失败: ") + e.what()};
  }
}

Result<Unit> add_column_if_missing(Connection& c, std::string_view table, std::string_view column,
                                   std::string_view type, std::string_view default_value) {
  std::string sql = "ALTER TABLE ";
  sql.append(table).append(" ADD COLUMN ").append(column).append(" ").append(type).append(" DEFAULT ");
  sql.append(default_value);
  try {
    c.execute(sql);
    return Unit{};
  } catch (const DbError& e) {
    const std::string_view message = e.what();
    if (contains(message, "duplicate column")) return Unit{};
    std::string out = "迁移失败: ";
    out.append(table).append(".").append(column).append(" - ").append(message);
    return Error{std::move(out)};
  }
}

Result<Unit> run_migrations(Connection& c) {
  int64_t version = 0;
  try {
    version = c.query_integer("PRAGMA user_version");
  } catch (const DbError& e) {
    // A failed read does not count as
    // version 0 (that would run step 5 again and turn every "completed"
    // order into "received"); it fails with the engine's text.
    return Error{e.what()};
  }
  if (version > kSchemaVersion - 1) return Unit{};
  for (int step = static_cast<int>(std::max<int64_t>(1, version + 1)); step <= kSchemaVersion; ++step) {
    auto r = run_step(c, step);
    if (!r) return r;
  }
  return Unit{};
}

Result<std::vector<std::string>> verify_core_tables(Connection& c) {
  static constexpr std::string_view kCoreTables[] = {
      "users",           "products",        "customers",        "suppliers",         "sale_orders",
      "sale_order_items", "purchase_orders", "purchase_order_items", "inventory_records", "billing_records",
      "categories",      "warehouses",      "locations",        "warehouse_stock",   "system_config",
      "operation_logs",  "role_permissions", "print_templates", "return_orders",     "stock_transactions"};
  static constexpr std::string_view kProductColumns[] = {"barcode", "status", "category_id"};

  std::vector<std::string> lines;
  for (std::string_view table : kCoreTables) {
    const std::string name(table);
    try {
      const int64_t count = c.query_integer("SELECT COUNT(*) FROM " + name);
      lines.push_back(name + " 表正常 (" + std::to_string(count) + " 条记录)");
    } catch (const DbError& e) {
      const std::string message = e.what();
      if (contains(message, "no such table")) {
        return Error{"核心表 " + name + " 缺失，迁移可能未完全执行！错误: " + message};
      }
      lines.push_back(name + " 表异常: " + message);
    }
  }
  for (std::string_view column : kProductColumns) {
    const std::string name(column);
    try {
      Statement s = c.prepare("SELECT " + name + " FROM products LIMIT 1");
      s.bind();
      if (s.step()) lines.push_back("products." + name + " 字段正常");
    } catch (const DbError& e) {
      if (contains(e.what(), "no such column")) lines.push_back("⚠️ products." + name + " 字段缺失！迁移可能未执行");
    }
  }
  return lines;
}

// ===========================================================================
// Default rows
// ===========================================================================

namespace {

struct TemplateRow {
  const char* name;
  const char* type;
  const char* paper_size;
  const char* width;
  const char* height;
  const char* margin;
  const char* header;
  const char* footer;
  const char* font_size;
  const char* is_default;
};

constexpr TemplateRow kDefaultPrintTemplates[] = {
    {"标准销售单（A4纵向）", "sale", "A4", "210", "297", "15", "某某商贸有限公司", "感谢您的惠顾！欢迎再次光临。", "12", "1"},
    {"标准采购单（A4纵向）", "purchase", "A4", "210", "297", "15", "某某商贸有限公司", "请按时交货，谢谢合作！", "12", "0"},
    {"标准入库单（A4纵向）", "stock_in", "A4", "210", "297", "10", "某某商贸有限公司", "仓库管理员签字确认", "11", "0"},
    {"标准出库单（A4纵向）", "stock_out", "A4", "210", "297", "10", "某某商贸有限公司", "客户签收：______________", "11", "0"},
    {"标准销售单（A4横向）", "sale", "A4", "297", "210", "15", "某某商贸有限公司", "感谢您的惠顾！欢迎再次光临。", "12", "0"},
    {"标准采购单（A4横向）", "purchase", "A4", "297", "210", "15", "某某商贸有限公司", "请按时交货，谢谢合作！", "12", "0"},
    {"简易销售单（A5纵向）", "sale", "A5", "148", "210", "10", "销售单", "谢谢惠顾", "10", "0"},
    {"简易采购单（A5纵向）", "purchase", "A5", "148", "210", "10", "采购单", "请按时交货", "10", "0"},
    {"简易销售单（A5横向）", "sale", "A5", "210", "148", "10", "销售单", "谢谢惠顾", "10", "0"},
    {"简易采购单（A5横向）", "purchase", "A5", "210", "148", "10", "采购单", "请按时交货", "10", "0"},
};

std::optional<int64_t> try_count(Connection& c, std::string_view sql) {
  try {
    return c.query_integer(sql);
  } catch (const DbError&) {
    return std::nullopt;
  }
}

Result<Unit> insert_default_rows(Connection& c) {
  // 1. The setting: only into an empty system_config (or one that cannot be
  //    counted); its failure is ignored.
  if (auto n = try_count(c, "SELECT COUNT(*) FROM system_config"); !n || *n == 0) {
    try {
      c.execute(
          "INSERT INTO system_config (id, config_key, config_value, description, updated_at) "
          "VALUES (?1,'dual_unit_enabled','1','双单位功能开关(1启用/0禁用)',datetime('now','localtime'))",
          new_record_id());
    } catch (const DbError&) {
    }
  }
  // 2. The built-in account, when no user is named "admin".
  if (auto n = try_count(c, "SELECT COUNT(*) FROM users WHERE username = 'admin'"); n && *n == 0) {
    try {
      c.execute("INSERT INTO users (id, username, password, real_name, role, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                new_record_id(), "admin", "tovel594", "系统管理员", "admin", local_timestamp());
    } catch (const DbError& e) {
      return Error{e.what()};
    }
  }
  // 3. The ten templates, when there is none at all.
  if (auto n = try_count(c, "SELECT COUNT(*) FROM print_templates"); n && *n == 0) {
    const std::string created_at = local_timestamp();
    for (const TemplateRow& t : kDefaultPrintTemplates) {
      try {
        c.execute(
            "INSERT INTO print_templates (id, template_name, template_type, paper_size, paper_width, paper_height, "
            "margin_top, margin_bottom, margin_left, margin_right, header_text, footer_text, show_logo, logo_path, "
            "font_size, is_default, created_at) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17)",
            new_record_id(), t.name, t.type, t.paper_size, t.width, t.height, t.margin, t.margin, t.margin, t.margin,
            t.header, t.footer, "0", "", t.font_size, t.is_default, created_at);
      } catch (const DbError& e) {
        return Error{e.what()};
      }
    }
  }
  return Unit{};
}

// Steps 3 to 8 of init_database on the new connection.
Result<Unit> prepare_database(Connection& c) {
  for (size_t i = 0; i < kCreateTables.size(); ++i) {
    try {
      c.execute(kCreateTables[i]);
    } catch (const DbError& e) {
      return Error{e.what()};
    }
    if (i == kLocationsTableIndex) run_ignoring_failure(c, kAlterLocations);
  }
  if (auto r = run_migrations(c); !r) return r;
  if (auto r = seed_default_role_permissions(c); !r) return r;
  if (auto r = insert_default_rows(c); !r) return r;
  for (std::string_view sql : kTemplateTypeUpdates) run_ignoring_failure(c, sql);
  run_ignoring_failure(c, "PRAGMA journal_mode=WAL");
  run_ignoring_failure(c, "PRAGMA busy_timeout=5000");
  return Unit{};
}

}  // namespace

// ===========================================================================
// init_database
// ===========================================================================

Result<Unit> init_database() {
  SharedConnection& shared = db_connection();
  std::unique_lock lock(shared.mutex);
  if (shared.poisoned) return Error{std::string(kPoisonedText)};
  PoisonGuard guard(shared);

  std::unique_ptr<Connection> fresh;
  try {
    fresh = Connection::open(kDatabaseFile);
  } catch (const DbError& e) {
    return Error{e.what()};
  }
  try {
    if (auto r = prepare_database(*fresh); !r) return r;  // `fresh` is closed on the way out
  } catch (const DbError& e) {
    return Error{e.what()};
  }
  // The old connection (if any) is closed only now that the new one is ready.
  shared.slot = std::move(fresh);
  return Unit{};
}

}  // namespace db
