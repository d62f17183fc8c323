// Tests of the database core (Parts 1.106 to 1.111 and the seeding of Part
// 2.101): the schema of a new file, the upgrade of files of every older
// schema version, restart semantics of the default rows, the error-text
// mapping, borrowing and poisoning, the statement cache, the typed readers,
// transactions and a file that cannot be opened.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "database.h"
#include "permission_keys.h"
#include "support/test_db.h"

namespace {

using testing_support::DbTest;
using testing_support::reset_shared_connection;
using testing_support::run_sql_on_file;
using testing_support::ScratchTest;
using testing_support::shared_connection;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

// Every row of a query as JSON objects keyed by column name, values by their
// stored type.
Json rows(db::Connection& c, std::string_view sql) {
  db::Statement s = c.prepare(sql);
  return testing_support::read_all(s);
}
Json rows(std::string_view sql) { return rows(shared_connection(), sql); }
int64_t count(std::string_view sql) { return shared_connection().query_integer(sql); }
std::string text(std::string_view sql) { return shared_connection().query_text(sql); }
int64_t user_version() { return count("PRAGMA user_version"); }

void restart() {
  reset_shared_connection();
  auto r = db::init_database();
  ASSERT_TRUE(r.ok()) << r.error();
}

std::vector<std::string> column_names(db::Connection& c, std::string_view table) {
  std::vector<std::string> names;
  db::Statement s = c.prepare("SELECT name FROM pragma_table_info(?1) ORDER BY cid");
  s.bind(table);
  while (s.step()) names.push_back(s.text(0));
  return names;
}

// ---------------------------------------------------------------------------
// The expected schema, written out independently of the code under test.
//
// A column is "name TYPE [PK] [U] [NN] [=default | NOW] [@since]": PK primary
// key, U unique, NN not null, NOW the default (datetime('now', 'localtime')),
// @since the schema version from which a file has the column (older fixture
// files are built without it; 0 when absent). "T:..." is a table constraint.
// ---------------------------------------------------------------------------

struct ExpectedTable {
  std::string_view name;
  std::vector<std::string_view> columns;
};

const std::vector<ExpectedTable>& expected_schema() {
  static const std::vector<ExpectedTable> tables = {
      {"users", {"id TEXT PK", "username TEXT U NN", "password TEXT NN", "real_name TEXT NN", "role TEXT NN",
                 "created_at TEXT NN"}},
      {"products",
       {"id TEXT PK", "name TEXT NN", "code TEXT U NN", "category TEXT", "unit TEXT =''", "unit2 TEXT =''",
        "price REAL =0.0", "cost REAL =0.0", "stock REAL =0.0", "stock_unit2 REAL =0.0", "batch_no TEXT ='' @6",
        "production_date TEXT ='' @8", "expiry_date TEXT ='' @6", "brand TEXT ='' @6", "model TEXT ='' @6",
        "package_type TEXT ='' @6", "description TEXT @6", "image_path TEXT ='' @6", "warehouse_id TEXT ='' @6",
        "location_id TEXT ='' @6", "created_at TEXT NOW", "barcode TEXT ='' @2", "trace_code TEXT ='' @2",
        "status TEXT ='active' @2", "category_id TEXT ='' @2", "unit_rate REAL =1.0 @7"}},
      {"customers", {"id TEXT PK", "name TEXT NN", "contact TEXT", "phone TEXT", "address TEXT", "balance REAL =0.0",
                     "created_at TEXT NOW"}},
      {"suppliers", {"id TEXT PK", "name TEXT NN", "contact TEXT", "phone TEXT", "address TEXT", "balance REAL =0.0",
                     "created_at TEXT NOW"}},
      {"sale_orders", {"id TEXT PK", "order_no TEXT U NN", "customer_id TEXT", "customer_name TEXT",
                       "total_amount REAL =0.0", "status TEXT ='completed'", "remark TEXT", "created_at TEXT NOW",
                       "is_invoiced INTEGER =0 @2"}},
      {"sale_order_items", {"id TEXT PK", "order_id TEXT", "product_id TEXT", "product_name TEXT",
                            "quantity REAL =0.0", "price REAL", "amount REAL", "batch_no TEXT ='' @6"}},
      {"purchase_orders", {"id TEXT PK", "order_no TEXT U NN", "supplier_id TEXT", "supplier_name TEXT",
                           "total_amount REAL =0.0", "status TEXT ='completed'", "remark TEXT",
                           "created_at TEXT NOW", "is_invoiced INTEGER =0 @2"}},
      {"purchase_order_items", {"id TEXT PK", "order_id TEXT", "product_id TEXT", "product_name TEXT",
                                "quantity REAL =0.0", "price REAL", "amount REAL", "batch_no TEXT ='' @6",
                                "expiry_date TEXT ='' @2"}},
      {"inventory_records", {"id TEXT PK", "product_id TEXT NN", "product_name TEXT NN", "change_type TEXT NN",
                             "quantity REAL NN", "before_stock REAL NN", "after_stock REAL NN", "remark TEXT",
                             "created_at TEXT NOW"}},
      {"print_templates",
       {"id TEXT PK", "template_name TEXT NN", "paper_size TEXT NN", "paper_width REAL NN", "paper_height REAL NN",
        "margin_top REAL NN", "margin_bottom REAL NN", "margin_left REAL NN", "margin_right REAL NN",
        "header_text TEXT", "footer_text TEXT", "show_logo INTEGER =0", "logo_path TEXT", "font_size INTEGER =12",
        "is_default INTEGER =0", "created_at TEXT NOW", "template_type TEXT ='' @4", "subheader_text TEXT ='' @9",
        "show_company_info INTEGER =1 @9", "show_order_no INTEGER =1 @9", "show_date INTEGER =1 @9",
        "show_customer INTEGER =1 @9", "show_items INTEGER =1 @9", "show_total INTEGER =1 @9",
        "show_remark INTEGER =1 @9", "show_signature INTEGER =1 @9", "show_unit_price INTEGER =1 @9",
        "show_amount INTEGER =1 @9", "show_model INTEGER =1 @9", "signer_name TEXT ='' @9",
        "auditor_name TEXT ='' @9", "confirmer_name TEXT ='' @9"}},
      {"product_specs", {"id TEXT PK", "product_id TEXT NN", "spec_name TEXT NN", "spec_value TEXT NN",
                         "price REAL =0.0", "stock INTEGER =0", "created_at TEXT NOW"}},
      {"categories", {"id TEXT PK", "name TEXT NN", "parent_id TEXT =''", "sort_order INTEGER =0",
                      "created_at TEXT NOW"}},
      {"billing_records", {"id TEXT PK", "party_type TEXT NN", "party_id TEXT NN", "party_name TEXT NN",
                           "order_id TEXT", "order_no TEXT", "amount REAL NN", "paid_amount REAL =0.0",
                           "bill_type TEXT NN", "bill_date TEXT NN", "due_date TEXT", "status TEXT ='unpaid'",
                           "remark TEXT", "created_at TEXT NOW"}},
      {"sale_templates", {"id TEXT PK", "template_name TEXT NN", "fields_config TEXT NN", "is_default INTEGER =0",
                          "created_at TEXT NOW"}},
      {"warehouses", {"id TEXT PK", "name TEXT NN", "code TEXT U NN", "address TEXT", "contact TEXT", "phone TEXT",
                      "description TEXT", "is_default INTEGER =0", "created_at TEXT NOW"}},
      {"locations", {"id TEXT PK", "warehouse_id TEXT NN", "warehouse_name TEXT ='' @2", "code TEXT NN",
                     "name TEXT NN", "zone TEXT", "aisle TEXT", "shelf TEXT", "level TEXT", "position TEXT",
                     "description TEXT", "created_at TEXT NOW", "T:UNIQUE(warehouse_id, code)"}},
      {"transfer_orders", {"id TEXT PK", "order_no TEXT U NN", "from_warehouse_id TEXT NN",
                           "from_warehouse_name TEXT", "to_warehouse_id TEXT NN", "to_warehouse_name TEXT",
                           "status TEXT ='pending'", "remark TEXT", "created_at TEXT NOW"}},
      {"transfer_order_items", {"id TEXT PK", "transfer_id TEXT NN", "product_id TEXT NN", "product_name TEXT",
                                "quantity REAL NN", "unit TEXT", "batch_no TEXT"}},
      {"invoices", {"id TEXT PK", "invoice_type TEXT NN", "invoice_no TEXT NN", "party_id TEXT", "party_name TEXT",
                    "order_id TEXT", "order_no TEXT", "amount REAL =0.0", "tax_amount REAL =0.0",
                    "invoice_date TEXT", "remark TEXT", "created_at TEXT NOW"}},
      {"payment_records", {"id TEXT PK", "billing_id TEXT NN", "party_type TEXT", "party_id TEXT",
                           "party_name TEXT", "amount REAL =0.0", "payment_date TEXT", "remark TEXT",
                           "created_at TEXT NOW"}},
      {"return_orders", {"id TEXT PK", "return_no TEXT U NN", "return_type TEXT NN", "party_id TEXT",
                         "party_name TEXT", "total_amount REAL =0.0", "reason TEXT", "status TEXT ='completed'",
                         "created_at TEXT NOW"}},
      {"return_order_items", {"id TEXT PK", "return_id TEXT NN", "product_id TEXT NN", "product_name TEXT",
                              "quantity REAL NN", "price REAL", "amount REAL", "batch_no TEXT"}},
      {"stock_transactions", {"id TEXT PK", "product_id TEXT NN", "product_name TEXT", "transaction_type TEXT NN",
                              "quantity REAL NN", "before_stock REAL =0.0", "after_stock REAL =0.0",
                              "ref_order_no TEXT", "remark TEXT", "created_at TEXT NOW"}},
      {"assembly_records", {"id TEXT PK", "record_no TEXT U NN", "assembly_type TEXT NN", "product_id TEXT NN",
                            "product_name TEXT", "quantity REAL NN", "components TEXT", "remark TEXT",
                            "created_at TEXT NOW"}},
      {"product_packages", {"id TEXT PK", "product_id TEXT NN", "package_name TEXT NN", "package_code TEXT NN",
                            "quantity INTEGER =1", "is_shared INTEGER =0", "shared_products TEXT",
                            "sort_order INTEGER =0", "created_at TEXT NOW"}},
      {"warehouse_stock", {"id TEXT PK", "product_id TEXT NN", "warehouse_id TEXT NN", "warehouse_name TEXT =''",
                           "stock REAL =0.0", "updated_at TEXT NOW", "T:UNIQUE(product_id, warehouse_id)"}},
      {"system_config", {"id TEXT PK", "config_key TEXT U NN", "config_value TEXT NN", "description TEXT =''",
                         "updated_at TEXT NOW"}},
      {"operation_logs", {"id TEXT PK", "username TEXT NN", "real_name TEXT NN", "action TEXT NN",
                          "module TEXT NN", "detail TEXT =''", "created_at TEXT NOW"}},
      {"role_permissions", {"id TEXT PK", "role_name TEXT NN", "permission_key TEXT NN",
                            "permission_name TEXT =''", "is_granted INTEGER =1", "updated_at TEXT NOW",
                            "T:UNIQUE(role_name, permission_key)"}},
      {"product_documents", {"id TEXT PK", "product_id TEXT NN", "file_name TEXT NN", "file_type TEXT =''",
                             "file_size INTEGER =0", "file_data TEXT NN", "created_at TEXT NOW"}},
  };
  return tables;
}

struct ParsedColumn {
  std::string name, type;
  bool pk = false, unique = false, not_null = false;
  std::optional<std::string> dflt;  // as PRAGMA table_info shows it
  int since = 0;
  // The column definition, for building fixture files.
  std::string declaration() const {
    std::string d = name + " " + type;
    if (pk) d += " PRIMARY KEY";
    if (unique) d += " UNIQUE";
    if (not_null) d += " NOT NULL";
    if (dflt) d += " DEFAULT " + (*dflt == "datetime('now', 'localtime')" ? "(" + *dflt + ")" : *dflt);
    return d;
  }
};

ParsedColumn parse_column(std::string_view spec) {
  std::istringstream in{std::string(spec)};
  ParsedColumn c;
  in >> c.name >> c.type;
  std::string token;
  while (in >> token) {
    if (token == "PK") c.pk = true;
    else if (token == "U") c.unique = true;
    else if (token == "NN") c.not_null = true;
    else if (token == "NOW") c.dflt = "datetime('now', 'localtime')";
    else if (token[0] == '=') c.dflt = token.substr(1);
    else if (token[0] == '@') c.since = std::stoi(token.substr(1));
    else ADD_FAILURE() << "bad column spec " << spec;
  }
  return c;
}

bool is_table_constraint(std::string_view spec) { return spec.rfind("T:", 0) == 0; }

// A fixture file: the tables as an older version had them (columns that came
// later left out), at the given PRAGMA user_version.
std::string legacy_schema_sql(int version, const std::set<std::string>& skip_tables = {}) {
  std::string sql;
  for (const ExpectedTable& t : expected_schema()) {
    if (skip_tables.count(std::string(t.name))) continue;
    std::vector<std::string> defs;
    for (std::string_view spec : t.columns) {
      if (is_table_constraint(spec)) {
        defs.emplace_back(spec.substr(2));
        continue;
      }
      ParsedColumn c = parse_column(spec);
      if (c.since <= version) defs.push_back(c.declaration());
    }
    sql += "CREATE TABLE " + std::string(t.name) + " (";
    for (size_t i = 0; i < defs.size(); ++i) sql += (i ? ", " : "") + defs[i];
    sql += ");\n";
  }
  sql += "PRAGMA user_version = " + std::to_string(version) + ";\n";
  return sql;
}

// ---------------------------------------------------------------------------
// The schema of a new file
// ---------------------------------------------------------------------------

TEST_F(DbTest, NewFileHasThirtyTablesInCreationOrderAndNothingElse) {
  std::vector<std::string> expected;
  for (const ExpectedTable& t : expected_schema()) expected.emplace_back(t.name);
  ASSERT_EQ(expected.size(), 30u);
  std::vector<std::string> actual;
  for (const Json& r : rows("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY rowid")) {
    actual.push_back(r["name"]);
  }
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(count("SELECT COUNT(*) FROM sqlite_master WHERE type IN ('view', 'trigger')"), 0);
  // The only indexes are the engine's own for primary keys and UNIQUE rules.
  EXPECT_EQ(count("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL"), 0);
  EXPECT_EQ(user_version(), 9);
}

TEST_F(DbTest, NewFileHasEveryColumnWithTypeConstraintDefaultAndOrder) {
  const std::map<std::string, size_t> column_counts = {
      {"users", 6},           {"products", 26},          {"customers", 7},         {"suppliers", 7},
      {"sale_orders", 9},     {"sale_order_items", 8},   {"purchase_orders", 9},   {"purchase_order_items", 9},
      {"inventory_records", 9}, {"print_templates", 32}, {"product_specs", 7},     {"categories", 5},
      {"billing_records", 14}, {"sale_templates", 5},    {"warehouses", 9},        {"locations", 12},
      {"transfer_orders", 9}, {"transfer_order_items", 7}, {"invoices", 12},       {"payment_records", 9},
      {"return_orders", 9},   {"return_order_items", 8}, {"stock_transactions", 10}, {"assembly_records", 9},
      {"product_packages", 9}, {"warehouse_stock", 6},   {"system_config", 5},     {"operation_logs", 7},
      {"role_permissions", 6}, {"product_documents", 7}};
  db::Connection& c = shared_connection();
  for (const ExpectedTable& t : expected_schema()) {
    SCOPED_TRACE(std::string(t.name));
    std::vector<std::string> expected, actual;
    std::set<std::vector<std::string>> expected_unique, actual_unique;
    for (std::string_view spec : t.columns) {
      if (is_table_constraint(spec)) {
        // "UNIQUE(a, b)"
        std::string inner(spec.substr(spec.find('(') + 1));
        inner.pop_back();
        std::vector<std::string> cols;
        std::istringstream in(inner);
        for (std::string col; std::getline(in, col, ',');) {
          col.erase(0, col.find_first_not_of(' '));
          cols.push_back(col);
        }
        expected_unique.insert(cols);
        continue;
      }
      ParsedColumn col = parse_column(spec);
      expected.push_back(col.name + "|" + col.type + "|" + (col.not_null ? "1" : "0") + "|" +
                         col.dflt.value_or("NULL") + "|" + (col.pk ? "1" : "0"));
      if (col.unique) expected_unique.insert({col.name});
    }
    db::Statement s = c.prepare("SELECT name, type, \"notnull\", dflt_value, pk FROM pragma_table_info(?1) ORDER BY cid");
    s.bind(t.name);
    while (s.step()) {
      actual.push_back(s.text(0) + "|" + s.text(1) + "|" + std::to_string(s.integer(2)) + "|" +
                       s.text_or(3, "NULL") + "|" + std::to_string(s.integer(4)));
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(actual.size(), column_counts.at(std::string(t.name)));

    // UNIQUE rules: the engine's indexes of origin "u".
    db::Statement il = c.prepare("SELECT name, origin FROM pragma_index_list(?1)");
    il.bind(t.name);
    std::vector<std::pair<std::string, std::string>> indexes;
    while (il.step()) indexes.emplace_back(il.text(0), il.text(1));
    for (auto& [index, origin] : indexes) {
      std::vector<std::string> cols;
      db::Statement ii = c.prepare("SELECT name FROM pragma_index_info(?1) ORDER BY seqno");
      ii.bind(index);
      while (ii.step()) cols.push_back(ii.text(0));
      if (origin == "u") actual_unique.insert(cols);
      else EXPECT_EQ(origin, "pk") << index;
    }
    EXPECT_EQ(actual_unique, expected_unique);
  }
}

TEST_F(DbTest, UniqueAndNotNullRulesFailWithTheEngineText) {
  db::Connection& c = shared_connection();
  c.execute("INSERT INTO products (id, name, code) VALUES ('p1', 'a', 'C1')");
  try {
    c.execute("INSERT INTO products (id, name, code) VALUES ('p2', 'b', 'C1')");
    FAIL() << "duplicate code accepted";
  } catch (const db::DbError& e) {
    EXPECT_STREQ(e.what(), "UNIQUE constraint failed: products.code");
    EXPECT_EQ(db::friendly_error(e.what()), "操作失败：商品编码已存在，请使用其他编码");
  }
  try {
    c.execute("INSERT INTO users (id, username, password, real_name, role, created_at) "
              "VALUES ('u2', 'admin', 'x', 'y', 'employee', '2024-01-01 00:00:00')");
    FAIL() << "duplicate username accepted";
  } catch (const db::DbError& e) {
    EXPECT_STREQ(e.what(), "UNIQUE constraint failed: users.username");
    EXPECT_EQ(db::friendly_error(e.what()), "操作失败：数据已存在，请检查是否重复添加");
  }
  c.execute("INSERT INTO warehouses (id, name, code) VALUES ('w1', 'a', 'W1')");
  EXPECT_THROW(c.execute("INSERT INTO warehouses (id, name, code) VALUES ('w2', 'b', 'W1')"), db::DbError);
  c.execute("INSERT INTO sale_orders (id, order_no) VALUES ('s1', 'SO1')");
  EXPECT_THROW(c.execute("INSERT INTO sale_orders (id, order_no) VALUES ('s2', 'SO1')"), db::DbError);
  // Locations: the code is unique per warehouse only.
  c.execute("INSERT INTO locations (id, warehouse_id, code, name) VALUES ('l1', 'w1', 'A-01', 'x')");
  c.execute("INSERT INTO locations (id, warehouse_id, code, name) VALUES ('l2', 'w2', 'A-01', 'x')");
  try {
    c.execute("INSERT INTO locations (id, warehouse_id, code, name) VALUES ('l3', 'w1', 'A-01', 'y')");
    FAIL() << "duplicate location accepted";
  } catch (const db::DbError& e) {
    EXPECT_EQ(db::friendly_error(e.what()), "操作失败：商品编码已存在，请使用其他编码");
  }
  // users.created_at has no default; customers.created_at takes local time.
  try {
    c.execute("INSERT INTO users (id, username, password, real_name, role) VALUES ('u3', 'x', 'x', 'x', 'x')");
    FAIL() << "user without created_at accepted";
  } catch (const db::DbError& e) {
    EXPECT_STREQ(e.what(), "NOT NULL constraint failed: users.created_at");
  }
  c.execute("INSERT INTO customers (id, name) VALUES ('c1', 'x')");
  EXPECT_TRUE(std::regex_match(text("SELECT created_at FROM customers"),
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
  // Deleting an order leaves its items.
  c.execute("INSERT INTO sale_order_items (id, order_id) VALUES ('i1', 's1')");
  c.execute("DELETE FROM sale_orders WHERE id = 's1'");
  EXPECT_EQ(count("SELECT COUNT(*) FROM sale_order_items"), 1);
}

TEST_F(DbTest, NewFileIsInWalModeWithBusyTimeout) {
  EXPECT_EQ(text("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(count("PRAGMA busy_timeout"), 5000);
  // Opened without SQLite's own connection mutex (SQLITE_OPEN_NOMUTEX).
  EXPECT_EQ(sqlite3_db_mutex(shared_connection().handle()), nullptr);
}

// ---------------------------------------------------------------------------
// Default rows of a new file
// ---------------------------------------------------------------------------

TEST_F(DbTest, NewFileHoldsTheDefaultSettingAndAccount) {
  Json config = rows("SELECT id, config_key, config_value, description, updated_at FROM system_config");
  ASSERT_EQ(config.size(), 1u);
  EXPECT_EQ(config[0]["config_key"], "dual_unit_enabled");
  EXPECT_EQ(config[0]["config_value"], "1");
  EXPECT_EQ(config[0]["description"], "双单位功能开关(1启用/0禁用)");
  const std::regex uuid(R"([0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12})");
  const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
  EXPECT_TRUE(std::regex_match(config[0]["id"].get<std::string>(), uuid));
  EXPECT_TRUE(std::regex_match(config[0]["updated_at"].get<std::string>(), stamp));

  Json users = rows("SELECT id, username, password, real_name, role, created_at FROM users");
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0]["username"], "admin");
  EXPECT_EQ(users[0]["password"], "tovel594");
  EXPECT_EQ(users[0]["real_name"], "系统管理员");
  EXPECT_EQ(users[0]["role"], "admin");
  EXPECT_TRUE(std::regex_match(users[0]["id"].get<std::string>(), uuid));
  EXPECT_TRUE(std::regex_match(users[0]["created_at"].get<std::string>(), stamp));
}

TEST_F(DbTest, NewFileHoldsTheTenDefaultPrintTemplates) {
  struct Expected {
    const char* name;
    const char* type;
    const char* paper;
    double width, height, margin;
    const char* header;
    const char* footer;
    int font, is_default;
  };
  const Expected expected[] = {
      {"标准销售单（A4纵向）", "sale", "A4", 210, 297, 15, "某某商贸有限公司", "感谢您的惠顾！欢迎再次光临。", 12, 1},
      {"标准采购单（A4纵向）", "purchase", "A4", 210, 297, 15, "某某商贸有限公司", "请按时交货，谢谢合作！", 12, 0},
      {"标准入库单（A4纵向）", "stock_in", "A4", 210, 297, 10, "某某商贸有限公司", "仓库管理员签字确认", 11, 0},
      {"标准出库单（A4纵向）", "stock_out", "A4", 210, 297, 10, "某某商贸有限公司", "客户签收：______________", 11, 0},
      {"标准销售单（A4横向）", "sale", "A4", 297, 210, 15, "某某商贸有限公司", "感谢您的惠顾！欢迎再次光临。", 12, 0},
      {"标准采购单（A4横向）", "purchase", "A4", 297, 210, 15, "某某商贸有限公司", "请按时交货，谢谢合作！", 12, 0},
      {"简易销售单（A5纵向）", "sale", "A5", 148, 210, 10, "销售单", "谢谢惠顾", 10, 0},
      {"简易采购单（A5纵向）", "purchase", "A5", 148, 210, 10, "采购单", "请按时交货", 10, 0},
      {"简易销售单（A5横向）", "sale", "A5", 210, 148, 10, "销售单", "谢谢惠顾", 10, 0},
      {"简易采购单（A5横向）", "purchase", "A5", 210, 148, 10, "采购单", "请按时交货", 10, 0},
  };
  Json t = rows("SELECT * FROM print_templates ORDER BY rowid");
  ASSERT_EQ(t.size(), 10u);
  for (size_t i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    const Expected& e = expected[i];
    const Json& r = t[i];
    EXPECT_EQ(r["template_name"], e.name);
    EXPECT_EQ(r["template_type"], e.type);
    EXPECT_EQ(r["paper_size"], e.paper);
    // Bound as text, stored as REAL and INTEGER by the column types.
    EXPECT_TRUE(r["paper_width"].is_number_float());
    EXPECT_EQ(r["paper_width"].get<double>(), e.width);
    EXPECT_EQ(r["paper_height"].get<double>(), e.height);
    for (const char* m : {"margin_top", "margin_bottom", "margin_left", "margin_right"}) {
      EXPECT_EQ(r[m].get<double>(), e.margin) << m;
    }
    EXPECT_EQ(r["header_text"], e.header);
    EXPECT_EQ(r["footer_text"], e.footer);
    EXPECT_TRUE(r["font_size"].is_number_integer());
    EXPECT_EQ(r["font_size"], e.font);
    EXPECT_EQ(r["is_default"], e.is_default);
    EXPECT_EQ(r["show_logo"], 0);
    EXPECT_EQ(r["logo_path"], "");  // empty text, not NULL
    EXPECT_EQ(r["created_at"], t[0]["created_at"]);
    // The columns of step 9 keep their defaults.
    EXPECT_EQ(r["subheader_text"], "");
    EXPECT_EQ(r["signer_name"], "");
    EXPECT_EQ(r["auditor_name"], "");
    EXPECT_EQ(r["confirmer_name"], "");
    for (const char* flag : {"show_company_info", "show_order_no", "show_date", "show_customer", "show_items",
                             "show_total", "show_remark", "show_signature", "show_unit_price", "show_amount",
                             "show_model"}) {
      EXPECT_EQ(r[flag], 1) << flag;
    }
  }
  EXPECT_EQ(count("SELECT COUNT(DISTINCT id) FROM print_templates"), 10);
}

TEST_F(DbTest, NewFileHoldsTheFiftyEightSeededRolePermissions) {
  EXPECT_EQ(count("SELECT COUNT(*) FROM role_permissions"), 58);
  const std::set<std::string> employee_denied = {"logs_view",  "sales_edit",     "users_view",
                                                 "users_edit", "data_import",    "data_export",
                                                 "purchases_edit", "products_delete", "permissions_edit"};
  Json all = rows("SELECT role_name, permission_key, permission_name, is_granted, updated_at FROM role_permissions "
                  "ORDER BY rowid");
  ASSERT_EQ(all.size(), 58u);
  for (size_t i = 0; i < kPermissionKeys.size(); ++i) {
    const PermissionKeyInfo& k = kPermissionKeys[i];
    const Json& admin = all[2 * i];
    const Json& employee = all[2 * i + 1];
    EXPECT_EQ(admin["role_name"], "admin");
    EXPECT_EQ(admin["permission_key"], k.key);
    EXPECT_EQ(admin["permission_name"], k.label);
    EXPECT_EQ(admin["is_granted"], 1);
    EXPECT_EQ(employee["role_name"], "employee");
    EXPECT_EQ(employee["permission_key"], k.key);
    EXPECT_EQ(employee["permission_name"], k.label);
    EXPECT_TRUE(employee["is_granted"].is_number_integer());  // "0"/"1" stored as integers
    EXPECT_EQ(employee["is_granted"], employee_denied.count(std::string(k.key)) ? 0 : 1) << k.key;
    EXPECT_EQ(employee["updated_at"], admin["updated_at"]);
  }
  EXPECT_EQ(count("SELECT is_granted FROM role_permissions WHERE role_name='employee' AND "
                  "permission_key='inventory_view_cost'"),
            1);
}

TEST(PermissionKeys, TableHoldsTheTwentyNineKeysInOrder) {
  std::vector<std::string> keys;
  for (const PermissionKeyInfo& k : kPermissionKeys) keys.emplace_back(k.key);
  EXPECT_THAT(keys, ElementsAre("products_view", "products_edit", "products_delete", "customers_view",
                                "customers_edit", "suppliers_view", "suppliers_edit", "sales_view", "sales_create",
                                "sales_edit", "purchases_view", "purchases_create", "purchases_edit",
                                "inventory_view", "inventory_ops", "inventory_batch", "inventory_view_cost",
                                "warehouses_view", "warehouses_edit", "billing_view", "billing_edit", "print_view",
                                "print_edit", "users_view", "users_edit", "logs_view", "permissions_edit",
                                "data_import", "data_export"));
  std::set<std::string> new_role_denied;
  for (const PermissionKeyInfo& k : kPermissionKeys) {
    EXPECT_TRUE(k.admin);
    if (!k.new_role) new_role_denied.emplace(k.key);
  }
  EXPECT_EQ(new_role_denied, (std::set<std::string>{"logs_view", "sales_edit", "users_view", "users_edit",
                                                     "purchases_edit", "products_delete", "permissions_edit",
                                                     "inventory_view_cost"}));
}

// ---------------------------------------------------------------------------
// Restart semantics
// ---------------------------------------------------------------------------

TEST_F(DbTest, SecondStartChangesNothing) {
  const Json before_users = rows("SELECT * FROM users");
  const Json before_templates = rows("SELECT * FROM print_templates ORDER BY id");
  const Json before_config = rows("SELECT * FROM system_config");
  const Json before_perms = rows("SELECT * FROM role_permissions ORDER BY id");
  restart();
  EXPECT_EQ(rows("SELECT * FROM users"), before_users);
  EXPECT_EQ(rows("SELECT * FROM print_templates ORDER BY id"), before_templates);
  EXPECT_EQ(rows("SELECT * FROM system_config"), before_config);
  EXPECT_EQ(rows("SELECT * FROM role_permissions ORDER BY id"), before_perms);
  EXPECT_EQ(user_version(), 9);
  // The columns are still in place and in order (the ALTER of locations failed quietly).
  EXPECT_EQ(column_names(shared_connection(), "locations").size(), 12u);
}

TEST_F(DbTest, ChangedAdminAccountIsKeptAtRestart) {
  shared_connection().execute("UPDATE users SET password = 'secret', real_name = '老王' WHERE username = 'admin'");
  restart();
  Json users = rows("SELECT username, password, real_name FROM users");
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0]["password"], "secret");
  EXPECT_EQ(users[0]["real_name"], "老王");
}

TEST_F(DbTest, AdminAccountComesBackWhenNoUserIsNamedAdmin) {
  db::Connection& c = shared_connection();
  c.execute("INSERT INTO users (id, username, password, real_name, role, created_at) "
            "VALUES ('u2', 'boss', 'x', '老板', 'admin', '2024-01-01 00:00:00')");
  c.execute("DELETE FROM users WHERE username = 'admin'");
  restart();
  EXPECT_EQ(count("SELECT COUNT(*) FROM users"), 2);
  EXPECT_EQ(text("SELECT password FROM users WHERE username = 'admin'"), "tovel594");
}

TEST_F(DbTest, TemplatesComeBackOnlyWhenAllWereDeleted) {
  db::Connection& c = shared_connection();
  c.execute("DELETE FROM print_templates WHERE is_default = 0");
  restart();
  EXPECT_EQ(count("SELECT COUNT(*) FROM print_templates"), 1);
  shared_connection().execute("DELETE FROM print_templates");
  restart();
  EXPECT_EQ(count("SELECT COUNT(*) FROM print_templates"), 10);
  EXPECT_EQ(count("SELECT COUNT(*) FROM print_templates WHERE is_default = 1"), 1);
}

TEST_F(DbTest, SettingIsInsertedOnlyIntoAnEmptySystemConfig) {
  db::Connection& c = shared_connection();
  c.execute("DELETE FROM system_config");
  c.execute("INSERT INTO system_config (id, config_key, config_value) VALUES ('k', 'auto_backup_enabled', '1')");
  restart();
  EXPECT_EQ(count("SELECT COUNT(*) FROM system_config"), 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM system_config WHERE config_key = 'dual_unit_enabled'"), 0);
  shared_connection().execute("DELETE FROM system_config");
  restart();
  EXPECT_EQ(text("SELECT config_value FROM system_config WHERE config_key = 'dual_unit_enabled'"), "1");
}

TEST_F(DbTest, RolePermissionsAreSeededOnlyIntoAnEmptyTable) {
  db::Connection& c = shared_connection();
  c.execute("DELETE FROM role_permissions");
  c.execute("INSERT INTO role_permissions (id, role_name, permission_key) VALUES ('r', 'clerk', 'sales_view')");
  restart();
  EXPECT_EQ(count("SELECT COUNT(*) FROM role_permissions"), 1);
  shared_connection().execute("DELETE FROM role_permissions");
  restart();
  EXPECT_EQ(count("SELECT COUNT(*) FROM role_permissions"), 58);
}

TEST_F(DbTest, SeedingReportsSuccessEvenWhenInsertsFail) {
  db::Connection& c = shared_connection();
  c.execute("DELETE FROM role_permissions");
  c.exec("CREATE TRIGGER no_employee BEFORE INSERT ON role_permissions WHEN NEW.role_name = 'employee' "
         "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  auto r = seed_default_role_permissions(c);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(count("SELECT COUNT(*) FROM role_permissions"), 29);
  EXPECT_EQ(count("SELECT COUNT(*) FROM role_permissions WHERE role_name = 'admin'"), 29);
}

TEST_F(DbTest, UntypedTemplatesGetATypeFromTheirNameAtStart) {
  db::Connection& c = shared_connection();
  const char* insert =
      "INSERT INTO print_templates (id, template_name, paper_size, paper_width, paper_height, margin_top, "
      "margin_bottom, margin_left, margin_right, template_type) VALUES (?1, ?2, 'A4', 210, 297, 10, 10, 10, 10, ?3)";
  c.execute(insert, "a", "销售出库单", "");
  c.execute(insert, "b", "仓库出库单", db::Null{});
  c.execute(insert, "c", "自定义模板", "");
  c.execute(insert, "d", "采购入库单", "");
  c.execute(insert, "e", "旧入库单", "purchase");
  restart();
  EXPECT_EQ(text("SELECT template_type FROM print_templates WHERE id = 'a'"), "sale");
  EXPECT_EQ(text("SELECT template_type FROM print_templates WHERE id = 'b'"), "stock_out");
  EXPECT_EQ(text("SELECT template_type FROM print_templates WHERE id = 'c'"), "");
  EXPECT_EQ(text("SELECT template_type FROM print_templates WHERE id = 'd'"), "purchase");
  EXPECT_EQ(text("SELECT template_type FROM print_templates WHERE id = 'e'"), "purchase");
  // The ten defaults keep their types.
  EXPECT_EQ(count("SELECT COUNT(*) FROM print_templates WHERE template_type = 'sale'"), 5);
}

TEST_F(ScratchTest, FailedTemplateInsertEndsInitAndLeavesEarlierTemplates) {
  run_sql_on_file(legacy_schema_sql(9) +
                  "CREATE TRIGGER no_stock_out BEFORE INSERT ON print_templates "
                  "WHEN NEW.template_type = 'stock_out' BEGIN SELECT RAISE(ABORT, 'template refused'); END;");
  auto r = db::init_database();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "template refused");
  EXPECT_FALSE(db::db_connection().slot);
  run_sql_on_file("DROP TRIGGER no_stock_out");
  ASSERT_TRUE(db::init_database().ok());
  // The table was no longer empty: nothing more is inserted.
  EXPECT_EQ(count("SELECT COUNT(*) FROM print_templates"), 3);
}

TEST_F(ScratchTest, FailedAdminInsertEndsInit) {
  run_sql_on_file(legacy_schema_sql(9) +
                  "CREATE TRIGGER no_users BEFORE INSERT ON users BEGIN SELECT RAISE(ABORT, 'user refused'); END;");
  auto r = db::init_database();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "user refused");
  EXPECT_FALSE(db::db_connection().slot);
}

TEST_F(ScratchTest, InitAgainReplacesTheConnectionAndKeepsTheData) {
  ASSERT_TRUE(db::init_database().ok());
  db::Connection* first = db::db_connection().slot.get();
  shared_connection().execute("INSERT INTO customers (id, name) VALUES ('c1', '张三')");
  ASSERT_TRUE(db::init_database().ok());  // as a restore calls it
  // A new connection (both were alive at once, so the addresses differ).
  EXPECT_NE(db::db_connection().slot.get(), first);
  EXPECT_EQ(text("SELECT name FROM customers WHERE id = 'c1'"), "张三");
}

// ---------------------------------------------------------------------------
// Files of every older schema version upgraded to 9
// ---------------------------------------------------------------------------

class UpgradeTest : public ScratchTest, public ::testing::WithParamInterface<int> {};

TEST_P(UpgradeTest, OlderFileIsUpgradedWithTheDataRulesOfEachStep) {
  const int v = GetParam();
  // product_documents and sale_templates did not exist yet: created at start.
  std::string sql = legacy_schema_sql(v, {"product_documents", "sale_templates"});
  sql += "INSERT INTO products (id, name, code, price) VALUES ('p1', '螺丝', 'P001', 2.5);"
         "INSERT INTO sale_orders (id, order_no, status) VALUES ('s1', 'SO1', 'completed'), ('s2', 'SO2', 'pending');"
         "INSERT INTO purchase_orders (id, order_no, status) VALUES ('o1', 'PO1', 'completed'),"
         " ('o2', 'PO2', 'cancelled');"
         "INSERT INTO users (id, username, password, real_name, role, created_at)"
         " VALUES ('u1', 'boss', 'x', '老板', 'admin', '2024-01-01 00:00:00');"
         "INSERT INTO system_config (id, config_key, config_value) VALUES ('k1', 'auto_backup_enabled', '0');";
  for (auto [id, name] : {std::pair{"t1", "我的销售单"}, {"t2", "自定义"}, {"t3", "销售出库单"}, {"t4", "仓库出库单"}}) {
    sql += std::string("INSERT INTO print_templates (id, template_name, paper_size, paper_width, paper_height, "
                       "margin_top, margin_bottom, margin_left, margin_right) VALUES ('") +
           id + "', '" + name + "', 'A4', 210, 297, 10, 10, 10, 10);";
  }
  run_sql_on_file(sql);

  auto r = db::init_database();
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(user_version(), 9);

  // Every table has every expected column, no more.
  for (const ExpectedTable& t : expected_schema()) {
    std::vector<std::string> expected;
    for (std::string_view spec : t.columns) {
      if (!is_table_constraint(spec)) expected.push_back(parse_column(spec).name);
    }
    std::vector<std::string> actual = column_names(shared_connection(), t.name);
    std::sort(expected.begin(), expected.end());
    std::sort(actual.begin(), actual.end());
    EXPECT_EQ(actual, expected) << t.name;
  }

  // Step 2, 6, 7, 8: new columns carry their defaults in existing rows.
  Json p = rows("SELECT * FROM products")[0];
  EXPECT_EQ(p["barcode"], "");
  EXPECT_EQ(p["trace_code"], "");
  EXPECT_EQ(p["status"], "active");
  EXPECT_EQ(p["category_id"], "");
  EXPECT_EQ(p["unit_rate"], 1.0);
  EXPECT_EQ(p["production_date"], "");
  EXPECT_EQ(p["batch_no"], "");
  EXPECT_EQ(p["price"], 2.5);
  // description: added with DEFAULT '' by step 6, NULL when the CREATE had it.
  if (v < 6) EXPECT_EQ(p["description"], "");
  else EXPECT_TRUE(p["description"].is_null());
  EXPECT_EQ(count("SELECT is_invoiced FROM sale_orders WHERE id = 's1'"), 0);

  // Step 5: "completed" orders became "received" only when step 5 ran.
  const char* completed = v < 5 ? "received" : "completed";
  EXPECT_EQ(text("SELECT status FROM sale_orders WHERE id = 's1'"), completed);
  EXPECT_EQ(text("SELECT status FROM sale_orders WHERE id = 's2'"), "pending");
  EXPECT_EQ(text("SELECT status FROM purchase_orders WHERE id = 'o1'"), completed);
  EXPECT_EQ(text("SELECT status FROM purchase_orders WHERE id = 'o2'"), "cancelled");

  // Step 4 and the start's updates: template types from the names; step 9 flags.
  EXPECT_EQ(text("SELECT template_type FROM print_templates WHERE id = 't1'"), "sale");
  EXPECT_EQ(text("SELECT template_type FROM print_templates WHERE id = 't2'"), "");
  EXPECT_EQ(text("SELECT template_type FROM print_templates WHERE id = 't3'"), "sale");
  EXPECT_EQ(text("SELECT template_type FROM print_templates WHERE id = 't4'"), "stock_out");
  EXPECT_EQ(count("SELECT show_model FROM print_templates WHERE id = 't1'"), 1);
  EXPECT_EQ(text("SELECT confirmer_name FROM print_templates WHERE id = 't1'"), "");

  // Default rows under their conditions.
  EXPECT_EQ(count("SELECT COUNT(*) FROM print_templates"), 4);
  EXPECT_EQ(count("SELECT COUNT(*) FROM users"), 2);
  EXPECT_EQ(count("SELECT COUNT(*) FROM system_config"), 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM role_permissions"), 58);

  // A second start runs no step again: a new "completed" order stays so.
  shared_connection().execute("INSERT INTO sale_orders (id, order_no, status) VALUES ('s3', 'SO3', 'completed')");
  restart();
  EXPECT_EQ(text("SELECT status FROM sale_orders WHERE id = 's3'"), "completed");
  EXPECT_EQ(text("SELECT status FROM sale_orders WHERE id = 's1'"), completed);
  EXPECT_EQ(user_version(), 9);
}

INSTANTIATE_TEST_SUITE_P(Versions0To8, UpgradeTest, ::testing::Range(0, 9),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Version" + std::to_string(info.param);
                         });

TEST_F(ScratchTest, FileAboveVersionNineIsLeftUntouched) {
  // (A template exists, so that no default template, with columns this old
  // file lacks, is inserted.)
  run_sql_on_file(legacy_schema_sql(1) + "PRAGMA user_version = 12;"
                  "INSERT INTO sale_orders (id, order_no, status) VALUES ('s1', 'SO1', 'completed');"
                  "INSERT INTO print_templates (id, template_name, paper_size, paper_width, paper_height, "
                  "margin_top, margin_bottom, margin_left, margin_right) VALUES ('t', '销售单', 'A4', 1, 1, 1, 1, 1, 1);");
  ASSERT_TRUE(db::init_database().ok());
  EXPECT_EQ(user_version(), 12);
  EXPECT_EQ(text("SELECT status FROM sale_orders"), "completed");
  EXPECT_FALSE(shared_connection().column_exists("products", "barcode"));
  auto lines = db::verify_core_tables(shared_connection());
  ASSERT_TRUE(lines.ok()) << lines.error();
  EXPECT_THAT(*lines, ::testing::Contains("⚠️ products.barcode 字段缺失！迁移可能未执行"));
}

TEST_F(ScratchTest, ExistingColumnOfAStepCountsAsPresent) {
  run_sql_on_file(legacy_schema_sql(1) + "ALTER TABLE products ADD COLUMN barcode TEXT DEFAULT 'x';");
  ASSERT_TRUE(db::init_database().ok());
  EXPECT_EQ(user_version(), 9);
  EXPECT_TRUE(shared_connection().column_exists("products", "trace_code"));
  EXPECT_TRUE(shared_connection().column_exists("products", "category_id"));
}

TEST_F(ScratchTest, NewFileRunsStepsInOrderSoNewColumnsStandAtTheEnd) {
  ASSERT_TRUE(db::init_database().ok());
  auto products = column_names(shared_connection(), "products");
  EXPECT_THAT(std::vector<std::string>(products.end() - 6, products.end()),
              ElementsAre("created_at", "barcode", "trace_code", "status", "category_id", "unit_rate"));
  auto templates = column_names(shared_connection(), "print_templates");
  EXPECT_EQ(templates[16], "template_type");
  EXPECT_EQ(templates.back(), "confirmer_name");
}

// run_migrations on a connection of the test's own, for the failures.
class MigrationTest : public ScratchTest {
 protected:
  std::unique_ptr<db::Connection> open() { return db::Connection::open(db::kDatabaseFile); }
};

TEST_F(MigrationTest, MissingTableStopsTheRunAtTheFailingStep) {
  run_sql_on_file(legacy_schema_sql(1, {"locations"}) +
                  "INSERT INTO sale_orders (id, order_no, status) VALUES ('s1', 'SO1', 'completed');");
  auto c = open();
  auto r = db::run_migrations(*c);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "迁移失败: locations.warehouse_name - no such table: locations");
  EXPECT_EQ(c->query_integer("PRAGMA user_version"), 1);
  // The columns that step 2 added before the failure stay.
  EXPECT_TRUE(c->column_exists("purchase_order_items", "expiry_date"));
  EXPECT_TRUE(c->column_exists("products", "barcode"));
  // No later step ran.
  EXPECT_EQ(c->query_text("SELECT status FROM sale_orders"), "completed");
  EXPECT_FALSE(c->column_exists("products", "unit_rate"));

  // The next run repeats step 2 from its start and completes.
  c->exec("CREATE TABLE locations (id TEXT PRIMARY KEY, warehouse_id TEXT NOT NULL, code TEXT NOT NULL, "
          "name TEXT NOT NULL)");
  ASSERT_TRUE(db::run_migrations(*c).ok());
  EXPECT_EQ(c->query_integer("PRAGMA user_version"), 9);
  EXPECT_EQ(c->query_text("SELECT status FROM sale_orders"), "received");
}

namespace {
int deny_user_version_read(void*, int action, const char* a, const char* b, const char*, const char*) {
  if (action == SQLITE_PRAGMA && a && std::string_view(a) == "user_version" && b == nullptr) return SQLITE_DENY;
  return SQLITE_OK;
}
}  // namespace

// Decided deviation: a failed read of the version is not version 0.
TEST_F(MigrationTest, FailedVersionReadFailsWithTheEngineTextAndRunsNoStep) {
  run_sql_on_file(legacy_schema_sql(9) +
                  "INSERT INTO sale_orders (id, order_no, status) VALUES ('s1', 'SO1', 'completed');");
  auto c = open();
  sqlite3_set_authorizer(c->handle(), &deny_user_version_read, nullptr);
  auto r = db::run_migrations(*c);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "not authorized");
  sqlite3_set_authorizer(c->handle(), nullptr, nullptr);
  EXPECT_EQ(c->query_text("SELECT status FROM sale_orders"), "completed");
  EXPECT_EQ(c->query_integer("PRAGMA user_version"), 9);
}

TEST_F(MigrationTest, BuildingBlocksReportTheirFailures) {
  auto c = open();
  c->exec("CREATE TABLE t (id TEXT PRIMARY KEY)");
  ASSERT_TRUE(db::add_column_if_missing(*c, "t", "a", "TEXT", "'x'").ok());
  EXPECT_TRUE(db::add_column_if_missing(*c, "t", "a", "TEXT", "'x'").ok());  // duplicate column
  EXPECT_EQ(c->query_text("SELECT dflt_value FROM pragma_table_info('t') WHERE name = 'a'"), "'x'");
  auto missing = db::add_column_if_missing(*c, "nope", "a", "TEXT", "''");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), "迁移失败: nope.a - no such table: nope");

  ASSERT_TRUE(db::set_schema_version(*c, 3).ok());
  EXPECT_EQ(c->query_integer("PRAGMA user_version"), 3);
  c->exec("PRAGMA query_only = 1");
  auto r = db::set_schema_version(*c, 4);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "设置 Schema 版本失败: attempt to write a readonly database");
}

// ---------------------------------------------------------------------------
// verify_core_tables
// ---------------------------------------------------------------------------

TEST_F(DbTest, VerifyCoreTablesOnACompleteFile) {
  auto lines = db::verify_core_tables(shared_connection());
  ASSERT_TRUE(lines.ok()) << lines.error();
  // Empty products: the 20 table lines only.
  EXPECT_THAT(*lines, ElementsAre("users 表正常 (1 条记录)", "products 表正常 (0 条记录)",
                                  "customers 表正常 (0 条记录)", "suppliers 表正常 (0 条记录)",
                                  "sale_orders 表正常 (0 条记录)", "sale_order_items 表正常 (0 条记录)",
                                  "purchase_orders 表正常 (0 条记录)", "purchase_order_items 表正常 (0 条记录)",
                                  "inventory_records 表正常 (0 条记录)", "billing_records 表正常 (0 条记录)",
                                  "categories 表正常 (0 条记录)", "warehouses 表正常 (0 条记录)",
                                  "locations 表正常 (0 条记录)", "warehouse_stock 表正常 (0 条记录)",
                                  "system_config 表正常 (1 条记录)", "operation_logs 表正常 (0 条记录)",
                                  "role_permissions 表正常 (58 条记录)", "print_templates 表正常 (10 条记录)",
                                  "return_orders 表正常 (0 条记录)", "stock_transactions 表正常 (0 条记录)"));
  shared_connection().execute("INSERT INTO products (id, name, code) VALUES ('p1', 'a', 'C1')");
  lines = db::verify_core_tables(shared_connection());
  ASSERT_TRUE(lines.ok());
  ASSERT_EQ(lines->size(), 23u);
  EXPECT_EQ((*lines)[1], "products 表正常 (1 条记录)");
  EXPECT_THAT(std::vector<std::string>(lines->begin() + 20, lines->end()),
              ElementsAre("products.barcode 字段正常", "products.status 字段正常", "products.category_id 字段正常"));
}

TEST_F(DbTest, VerifyCoreTablesFailsForAMissingCoreTable) {
  shared_connection().execute("DROP TABLE stock_transactions");
  auto lines = db::verify_core_tables(shared_connection());
  ASSERT_FALSE(lines.ok());
  EXPECT_EQ(lines.error(), "核心表 stock_transactions 缺失，迁移可能未完全执行！错误: no such table: stock_transactions");
}

TEST_F(DbTest, VerifyCoreTablesReportsAMissingProductColumn) {
  db::Connection& c = shared_connection();
  c.execute("ALTER TABLE products DROP COLUMN status");
  c.execute("INSERT INTO products (id, name, code) VALUES ('p1', 'a', 'C1')");
  auto lines = db::verify_core_tables(c);
  ASSERT_TRUE(lines.ok());
  EXPECT_THAT(std::vector<std::string>(lines->begin() + 20, lines->end()),
              ElementsAre("products.barcode 字段正常", "⚠️ products.status 字段缺失！迁移可能未执行",
                          "products.category_id 字段正常"));
}

// ---------------------------------------------------------------------------
// The error-text mapping, as a table of cases
// ---------------------------------------------------------------------------

struct MappingCase {
  std::string input;
  std::string expected;
};

class FriendlyErrorTest : public ::testing::TestWithParam<MappingCase> {};

TEST_P(FriendlyErrorTest, MapsTheText) { EXPECT_EQ(db::friendly_error(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Rules, FriendlyErrorTest,
    ::testing::Values(
        // 1, 2: unique constraints, with and without "code"
        MappingCase{"UNIQUE constraint failed: products.code", "操作失败：商品编码已存在，请使用其他编码"},
        MappingCase{"UNIQUE constraint failed: locations.warehouse_id, locations.code",
                    "操作失败：商品编码已存在，请使用其他编码"},
        MappingCase{"UNIQUE constraint failed: users.username", "操作失败：数据已存在，请检查是否重复添加"},
        // 3 to 10
        MappingCase{"no such table: products", "系统错误：数据库表不存在，请重新初始化数据库"},
        MappingCase{"Database not initialized", "系统错误：数据库未初始化"},
        MappingCase{"Query returned no rows", "操作失败：未找到对应的数据记录"},
        MappingCase{"product not found", "操作失败：未找到对应的数据记录"},
        MappingCase{"out of memory", "系统错误：内存不足"},
        MappingCase{"Permission denied (os error 13)", "系统错误：权限不足"},
        MappingCase{"Connection refused", "系统错误：数据库连接失败"},
        MappingCase{"operation TIMEOUT", "系统错误：操作超时"},
        MappingCase{"table x already exists", "操作失败：数据已存在"},
        // 11 to 16
        MappingCase{"商品库存不足", "操作失败：库存不足"},
        MappingCase{"Insufficient stock for P1", "操作失败：库存不足"},
        MappingCase{"cannot delete admin", "操作失败：不能删除或修改默认管理员账户"},
        MappingCase{"用户名已存在", "操作失败：用户名已存在"},
        // Rule 10 ("already exists") comes before rule 13's English word.
        MappingCase{"Username already exists", "操作失败：数据已存在"},
        MappingCase{"原密码错误", "操作失败：原密码错误"},
        MappingCase{"Old password does not match", "操作失败：原密码错误"},
        MappingCase{"密码错误", "操作失败：密码错误"},
        MappingCase{"wrong password", "操作失败：密码错误"},
        MappingCase{"图片太大", "操作失败：图片处理出错，请重试"},
        MappingCase{"Image decode failed", "操作失败：图片处理出错，请重试"},
        // Order of the rules: the first match wins.
        MappingCase{"UNIQUE constraint failed: x.id; not found", "操作失败：数据已存在，请检查是否重复添加"},
        MappingCase{"timeout: already exists", "系统错误：操作超时"},
        // 17: Chinese text unchanged; 18: everything else gets the prefix.
        MappingCase{"商品不存在", "商品不存在"},
        MappingCase{"database is locked", "系统错误：database is locked"},
        MappingCase{"失败：x", "失败：x"},
        MappingCase{"ERROR：Ｘ", "系统错误：ERROR：Ｘ"},  // full-width only: not Chinese
        MappingCase{"", "系统错误："},
        MappingCase{std::string(db::kPoisonedText), "系统错误：poisoned lock: another task failed inside"}));

TEST(ErrorTextMapping, ContainsCjkReadsUtf8Characters) {
  EXPECT_TRUE(db::contains_cjk("一"));    // U+4E00
  EXPECT_TRUE(db::contains_cjk("a鿿b"));  // U+9FFF
  EXPECT_FALSE(db::contains_cjk("㐀"));   // U+3400, below the block
  EXPECT_FALSE(db::contains_cjk("ꀀ"));    // U+A000, above it
  EXPECT_FALSE(db::contains_cjk("：（）"));
  EXPECT_FALSE(db::contains_cjk("\xE4\xB8"));  // truncated sequence
  EXPECT_FALSE(db::contains_cjk(""));
}

TEST(ErrorTextMapping, HelpersApplyFriendlyError) {
  EXPECT_EQ(db::poison_error_text(), "系统错误：poisoned lock: another task failed inside");
  EXPECT_EQ(db::db_error_text(db::DbError("Query returned no rows")), "操作失败：未找到对应的数据记录");
  EXPECT_EQ(db::json_error_text(std::runtime_error("invalid type: null, expected f64")),
            "系统错误：invalid type: null, expected f64");
  EXPECT_EQ(db::format_poisoned("数据库锁获取失败: {}"), "数据库锁获取失败: poisoned lock: another task failed inside");
}

// ---------------------------------------------------------------------------
// Borrowing, poisoning, concurrency
// ---------------------------------------------------------------------------

Result<Json> select_one(const db::BorrowTexts& texts) {
  return db::with_connection<Json>(texts, [](db::Connection& c) -> Result<Json> {
    return Json(c.query_integer("SELECT 1"));
  });
}

TEST_F(ScratchTest, EmptySlotGivesEachModuleItsNotInitialisedText) {
  EXPECT_EQ(select_one(db::kFriendlyTexts).error(), "系统错误：数据库未初始化");
  EXPECT_EQ(select_one(db::kPlainTexts).error(), "Database not initialized");
  EXPECT_EQ(select_one(db::kAccessTexts).error(), "系统错误：数据库未初始化");
  EXPECT_EQ(select_one(db::kAutoBackupTexts).error(), "数据库未初始化");
  EXPECT_EQ(select_one(db::kRestoreTexts).error(), "数据库连接未初始化");
  EXPECT_FALSE(db::db_connection().poisoned);
}

TEST_F(DbTest, BorrowRunsTheWorkAndMapsDatabaseErrors) {
  auto ok = select_one(db::kFriendlyTexts);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, 1);
  auto missing = db::with_connection<Json>(db::kFriendlyTexts, [](db::Connection& c) -> Result<Json> {
    return Json(c.query_text("SELECT username FROM users WHERE username = 'nobody'"));
  });
  EXPECT_EQ(missing.error(), "操作失败：未找到对应的数据记录");
  auto plain = db::with_connection<Json>(db::kPlainTexts, [](db::Connection& c) -> Result<Json> {
    c.execute("INSERT INTO nowhere VALUES (1)");
    return Json(nullptr);
  });
  EXPECT_EQ(plain.error(), "no such table: nowhere");
  auto handler_error = db::with_connection<Json>(db::kFriendlyTexts, [](db::Connection&) -> Result<Json> {
    return fail("商品不存在");
  });
  EXPECT_EQ(handler_error.error(), "商品不存在");
  // None of these poisons.
  EXPECT_FALSE(db::db_connection().poisoned);
  EXPECT_TRUE(select_one(db::kFriendlyTexts).ok());
}

TEST_F(DbTest, FaultUnderTheLockPoisonsEveryLaterBorrow) {
  EXPECT_THROW((void)db::with_connection<Json>(db::kFriendlyTexts, [](db::Connection&) -> Result<Json> {
                 throw std::logic_error("bug");
               }),
               std::logic_error);
  db::SharedConnection& shared = db::db_connection();
  EXPECT_TRUE(shared.poisoned);
  ASSERT_TRUE(shared.mutex.try_lock());  // the lock was released
  shared.mutex.unlock();
  EXPECT_EQ(select_one(db::kFriendlyTexts).error(), "系统错误：poisoned lock: another task failed inside");
  EXPECT_EQ(select_one(db::kPlainTexts).error(), "poisoned lock: another task failed inside");
  EXPECT_EQ(select_one(db::kAccessTexts).error(), "系统错误：数据库访问失败 - poisoned lock: another task failed inside");
  EXPECT_EQ(select_one(db::kAutoBackupTexts).error(), "数据库锁获取失败: poisoned lock: another task failed inside");
  EXPECT_EQ(select_one(db::kRestoreTexts).error(), "无法获取数据库锁: poisoned lock: another task failed inside");
  auto init = db::init_database();
  ASSERT_FALSE(init.ok());
  EXPECT_EQ(init.error(), "poisoned lock: another task failed inside");
  EXPECT_TRUE(shared.poisoned);  // never cleared
}

TEST_F(DbTest, PoisonedInitOpensNothing) {
  db::Connection* before = db::db_connection().slot.get();
  std::filesystem::remove_all("sub");
  std::filesystem::create_directory("sub");
  std::filesystem::current_path("sub");
  { std::lock_guard lock(db::db_connection().mutex); db::db_connection().poisoned = true; }
  EXPECT_EQ(db::init_database().error(), "poisoned lock: another task failed inside");
  EXPECT_FALSE(std::filesystem::exists(db::kDatabaseFile));
  EXPECT_EQ(db::db_connection().slot.get(), before);
  std::filesystem::current_path("..");
}

struct BorrowsWhileUnwinding {
  ~BorrowsWhileUnwinding() {
    try {
      (void)db::with_connection<Json>(db::kFriendlyTexts, [](db::Connection&) -> Result<Json> {
        throw std::runtime_error("second fault during unwinding");
      });
    } catch (const std::runtime_error&) {
    }
  }
};

TEST_F(DbTest, WorkThatWasAlreadyUnwindingDoesNotPoison) {
  try {
    BorrowsWhileUnwinding b;
    throw std::runtime_error("first fault, outside the lock");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(db::db_connection().poisoned);
}

TEST_F(DbTest, SecondBorrowerWaitsForTheFirst) {
  std::promise<void> inside;
  std::promise<void> release;
  std::atomic<bool> second_done{false};
  std::thread first([&] {
    (void)db::with_connection<Unit>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Unit> {
      c.execute("INSERT INTO customers (id, name) VALUES ('c1', 'first')");
      inside.set_value();
      release.get_future().wait();
      c.execute("UPDATE customers SET name = 'first, done' WHERE id = 'c1'");
      return Unit{};
    });
  });
  inside.get_future().wait();
  std::thread second([&] {
    auto r = db::with_connection<Json>(db::kFriendlyTexts, [](db::Connection& c) -> Result<Json> {
      return Json(c.query_text("SELECT name FROM customers WHERE id = 'c1'"));
    });
    EXPECT_EQ(*r, "first, done");
    second_done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(second_done);
  release.set_value();
  first.join();
  second.join();
  EXPECT_TRUE(second_done);
}

// ---------------------------------------------------------------------------
// Transactions
// ---------------------------------------------------------------------------

TEST_F(DbTest, TransactionCommitsOnSuccessAndRollsBackOnEveryOtherWayOut) {
  auto insert = [](db::Connection& c, const char* id) {
    c.execute("INSERT INTO customers (id, name) VALUES (?1, 'x')", id);
  };
  auto run = [&](auto&& body) {
    return db::with_connection<Unit>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Unit> {
      return db::in_transaction<Unit>(c, body);
    });
  };
  ASSERT_TRUE(run([&](db::Connection& c) -> Result<Unit> { insert(c, "a"); return Unit{}; }).ok());
  EXPECT_EQ(run([&](db::Connection& c) -> Result<Unit> { insert(c, "b"); return fail("库存不足"); }).error(),
            "库存不足");
  EXPECT_EQ(run([&](db::Connection& c) -> Result<Unit> {
              insert(c, "c");
              insert(c, "a");  // duplicate key: DbError
              return Unit{};
            }).error(),
            "操作失败：数据已存在，请检查是否重复添加");
  EXPECT_THROW((void)db::with_connection<Unit>(db::kPlainTexts, [&](db::Connection& c) -> Result<Unit> {
                 return db::in_transaction<Unit>(c, [&](db::Connection& c2) -> Result<Unit> {
                   insert(c2, "d");
                   throw std::logic_error("bug");
                 });
               }),
               std::logic_error);
  reset_shared_connection();  // clear the poison; the file stays
  ASSERT_TRUE(db::init_database().ok());
  EXPECT_EQ(count("SELECT COUNT(*) FROM customers"), 1);
  EXPECT_EQ(text("SELECT id FROM customers"), "a");
  EXPECT_TRUE(sqlite3_get_autocommit(shared_connection().handle()));
}

// ---------------------------------------------------------------------------
// Statements: the cache and the typed readers
// ---------------------------------------------------------------------------

std::vector<std::string> prepared_texts(db::Connection& c) {
  std::vector<std::string> texts;
  for (sqlite3_stmt* s = sqlite3_next_stmt(c.handle(), nullptr); s; s = sqlite3_next_stmt(c.handle(), s)) {
    texts.emplace_back(sqlite3_sql(s));
  }
  std::sort(texts.begin(), texts.end());
  return texts;
}

std::string numbered_query(int n) { return "SELECT " + std::to_string(n) + " + COUNT(*) FROM users"; }

TEST_F(ScratchTest, StatementCacheKeepsSixteenAndEvictsTheLeastRecentlyUsed) {
  auto c = db::Connection::open(db::kDatabaseFile);
  c->exec("CREATE TABLE users (id TEXT); INSERT INTO users VALUES ('a'), ('b')");
  std::vector<int64_t> first_results;
  for (int n = 1; n <= 16; ++n) first_results.push_back(c->query_integer(numbered_query(n)));
  EXPECT_EQ(c->cached_statements(), 16u);
  // Use #1 again: now #2 is the least recently used.
  EXPECT_EQ(c->query_integer(numbered_query(1)), 3);
  EXPECT_EQ(c->query_integer(numbered_query(17)), 19);  // the 17th distinct text
  EXPECT_EQ(c->cached_statements(), 16u);
  auto live = prepared_texts(*c);
  EXPECT_EQ(live.size(), 16u);
  EXPECT_TRUE(std::binary_search(live.begin(), live.end(), numbered_query(1)));
  EXPECT_FALSE(std::binary_search(live.begin(), live.end(), numbered_query(2)));
  EXPECT_TRUE(std::binary_search(live.begin(), live.end(), numbered_query(17)));
  // The results are the same as before, evicted or not, and as without a cache.
  for (int n = 1; n <= 16; ++n) {
    EXPECT_EQ(c->query_integer(numbered_query(n)), first_results[n - 1]);
    EXPECT_EQ(first_results[n - 1], n + 2);
  }
  EXPECT_EQ(c->cached_statements(), 16u);
  EXPECT_EQ(prepared_texts(*c).size(), 16u);
}

TEST_F(ScratchTest, StatementComesBackResetWithBindingsCleared) {
  auto c = db::Connection::open(db::kDatabaseFile);
  {
    db::Statement s = c->prepare("SELECT ?1");
    s.bind(int64_t{42});
    ASSERT_TRUE(s.step());
    EXPECT_EQ(s.integer(0), 42);
  }
  EXPECT_EQ(c->cached_statements(), 1u);
  db::Statement again = c->prepare("SELECT ?1");
  EXPECT_EQ(c->cached_statements(), 0u);  // in use
  ASSERT_TRUE(again.step());
  EXPECT_TRUE(again.is_null(0));
}

TEST_F(ScratchTest, SameTextMayBeInUseTwiceAtOnce) {
  auto c = db::Connection::open(db::kDatabaseFile);
  c->exec("CREATE TABLE t (n INTEGER); INSERT INTO t VALUES (1), (2), (3)");
  int64_t total = 0;
  db::Statement outer = c->prepare("SELECT n FROM t ORDER BY n");
  while (outer.step()) {
    db::Statement inner = c->prepare("SELECT n FROM t ORDER BY n");
    while (inner.step()) total += outer.integer(0) * inner.integer(0);
  }
  EXPECT_EQ(total, 36);
}

TEST_F(ScratchTest, PreparationFailuresCarryTheEngineText) {
  auto c = db::Connection::open(db::kDatabaseFile);
  try {
    c->prepare("SELECT * FROM nowhere");
    FAIL();
  } catch (const db::DbError& e) {
    EXPECT_STREQ(e.what(), "no such table: nowhere");
  }
  try {
    c->execute("SELECT ?1, ?2", "a");
    FAIL();
  } catch (const db::DbError& e) {
    EXPECT_STREQ(e.what(), "Wrong number of parameters passed to query. Got 1, needed 2");
  }
  EXPECT_THROW(c->prepare("SELECT 1; SELECT 2"), db::DbError);
  // Only the statement that was prepared (and then refused its parameters) is cached.
  EXPECT_EQ(c->cached_statements(), 1u);
}

// Stored text that is not UTF-8: strict readers fail, lenient ones fall back.
TEST_F(ScratchTest, TextThatIsNotUtf8) {
  struct Case {
    const char* hex;  // the stored bytes
    std::string error;
  };
  const Case cases[] = {
      {"61E4B8AD62", ""},                                                      // "a中b"
      {"6162FF", "invalid utf-8 sequence of 1 bytes from index 2"},          // not a lead byte
      {"61C0AF", "invalid utf-8 sequence of 1 bytes from index 1"},          // overlong
      {"E4B862", "invalid utf-8 sequence of 2 bytes from index 0"},          // bad third byte
      {"EDA080", "invalid utf-8 sequence of 1 bytes from index 0"},          // surrogate
      {"F09F9861", "invalid utf-8 sequence of 3 bytes from index 0"},        // bad fourth byte
      {"61E4B8", "incomplete utf-8 byte sequence from index 1"},             // cut short
  };
  auto c = db::Connection::open(db::kDatabaseFile);
  for (const Case& k : cases) {
    db::Statement s = c->prepare(std::string("SELECT CAST(x'") + k.hex + "' AS TEXT) AS t");
    ASSERT_TRUE(s.step());
    std::string error;
    try {
      s.text(0);
    } catch (const db::DbError& e) {
      error = e.what();
    }
    EXPECT_EQ(error, k.error.empty() ? "" : "Conversion error from type Text at index: 0, " + k.error) << k.hex;
    EXPECT_EQ(s.text_or(0, "-") == "-", !k.error.empty()) << k.hex;
  }
}

TEST_F(ScratchTest, TypedReadersGiveTheEngineStyleTexts) {
  auto c = db::Connection::open(db::kDatabaseFile);
  db::Statement s = c->prepare("SELECT NULL AS a, 7 AS b, 2.5 AS c, 'x' AS d, x'00' AS e");
  ASSERT_TRUE(s.step());
  auto error_of = [](auto&& read) -> std::string {
    try {
      read();
    } catch (const db::DbError& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(error_of([&] { s.text(0); }), "Invalid column type Null at index: 0, name: a");
  EXPECT_EQ(error_of([&] { s.text(1); }), "Invalid column type Integer at index: 1, name: b");
  EXPECT_EQ(error_of([&] { s.integer(2); }), "Invalid column type Real at index: 2, name: c");
  EXPECT_EQ(error_of([&] { s.real(3); }), "Invalid column type Text at index: 3, name: d");
  EXPECT_EQ(error_of([&] { s.boolean(4); }), "Invalid column type Blob at index: 4, name: e");
  EXPECT_EQ(error_of([&] { s.opt_text(1); }), "Invalid column type Integer at index: 1, name: b");
  EXPECT_EQ(error_of([&] { s.text(5); }), "Invalid column index: 5");
  EXPECT_EQ(s.real(1), 7.0);  // integers convert to floating numbers
  EXPECT_EQ(s.integer(1), 7);
  EXPECT_TRUE(s.boolean(1));
  EXPECT_EQ(s.text(3), "x");
  EXPECT_FALSE(s.opt_text(0).has_value());
  EXPECT_FALSE(s.opt_real(0).has_value());
  EXPECT_FALSE(s.opt_integer(0).has_value());
  EXPECT_EQ(s.text_or(0, "-"), "-");
  EXPECT_EQ(s.text_or(1, "-"), "-");
  EXPECT_EQ(s.real_or(1, -1), 7.0);
  EXPECT_EQ(s.real_or(3, -1), -1.0);
  EXPECT_EQ(s.integer_or(2, -1), -1);
  EXPECT_EQ(s.value(0), Json(nullptr));
  EXPECT_EQ(s.value(1), Json(7));
  EXPECT_EQ(s.value(2), Json(2.5));
  EXPECT_EQ(s.value(3), Json("x"));
  EXPECT_EQ(s.value(4), Json(std::string(1, '\0')));
  try {
    c->query_integer("SELECT 1 WHERE 0");
    FAIL();
  } catch (const db::DbError& e) {
    EXPECT_STREQ(e.what(), "Query returned no rows");
  }
}

TEST_F(ScratchTest, RowReadersStrictAndLenient) {
  auto c = db::Connection::open(db::kDatabaseFile);
  c->exec("CREATE TABLE r (t TEXT, ot TEXT, x REAL, ox REAL, i INTEGER, oi INTEGER, b INTEGER);"
          "INSERT INTO r VALUES ('a', NULL, 3, NULL, 4, NULL, 2);"
          "INSERT INTO r VALUES (NULL, 5, 'z', 'z', 1.5, 'q', NULL);");
  static constexpr db::Column kColumns[] = {
      {"t", db::ColumnKind::Text},       {"ot", db::ColumnKind::OptText},       {"x", db::ColumnKind::Real},
      {"ox", db::ColumnKind::OptReal},   {"i", db::ColumnKind::Integer},        {"oi", db::ColumnKind::OptInteger},
      {"b", db::ColumnKind::Boolean}};
  const char* sql = "SELECT t, ot, x, ox, i, oi, b FROM r ORDER BY rowid LIMIT 1";
  Json strict = db::read_rows(*c, sql, kColumns, db::Strictness::Strict);
  EXPECT_EQ(strict, Json::parse(R"([{"t":"a","ot":null,"x":3.0,"ox":null,"i":4,"oi":null,"b":true}])"));
  EXPECT_TRUE(strict[0]["x"].is_number_float());
  try {
    db::read_rows(*c, "SELECT t, ot, x, ox, i, oi, b FROM r WHERE t IS NULL", kColumns, db::Strictness::Strict);
    FAIL();
  } catch (const db::DbError& e) {
    EXPECT_STREQ(e.what(), "Invalid column type Null at index: 0, name: t");
  }
  Json lenient = db::read_rows(*c, "SELECT t, ot, x, ox, i, oi, b FROM r ORDER BY rowid", kColumns,
                               db::Strictness::Lenient);
  ASSERT_EQ(lenient.size(), 2u);
  EXPECT_EQ(lenient[1], Json::parse(R"({"t":"","ot":"5","x":0.0,"ox":null,"i":0,"oi":null,"b":false})"));
}

TEST_F(ScratchTest, RowReadersOfTheModuleKinds) {
  auto c = db::Connection::open(db::kDatabaseFile);
  c->exec("CREATE TABLE k (a, b, c, d, e);"
          "INSERT INTO k VALUES ('x', 'y', 5, 0, 7);"
          "INSERT INTO k VALUES (NULL, 3, 2, 2, NULL);"
          "INSERT INTO k VALUES (1, NULL, 4294967296, 1, 'z');");
  static constexpr db::Column kKinds[] = {{"a", db::ColumnKind::EmptyIfNull},
                                          {"b", db::ColumnKind::EmptyIfNotText},
                                          {"c", db::ColumnKind::Int32},
                                          {"d", db::ColumnKind::Int32Boolean},
                                          {"e", db::ColumnKind::Int32ZeroIfNull}};
  auto strict_row = [&](int rowid) {
    return db::read_rows(*c, "SELECT a, b, c, d, e FROM k WHERE rowid = ?1", kKinds, db::Strictness::Strict,
                         int64_t{rowid});
  };
  EXPECT_EQ(strict_row(1)[0], Json::parse(R"({"a":"x","b":"y","c":5,"d":false,"e":7})"));
  EXPECT_EQ(strict_row(2)[0], Json::parse(R"({"a":"","b":"","c":2,"d":true,"e":0})"));
  try {
    strict_row(3);
    FAIL();
  } catch (const db::DbError& e) {
    EXPECT_STREQ(e.what(), "Invalid column type Integer at index: 0, name: a");
  }
  Json lenient = db::read_rows(*c, "SELECT a, b, c, d, e FROM k WHERE rowid = 3", kKinds, db::Strictness::Lenient);
  EXPECT_EQ(lenient[0], Json::parse(R"({"a":"","b":"","c":0,"d":true,"e":0})"));
  try {
    db::read_rows(*c, "SELECT 'x', NULL, c, 0, 0 FROM k WHERE rowid = 3", kKinds, db::Strictness::Strict);
    FAIL();
  } catch (const db::DbError& e) {
    EXPECT_STREQ(e.what(), "Integer 4294967296 out of range at index 2");
  }
}

TEST_F(ScratchTest, ListingAndLenientQueryHelpers) {
  auto c = db::Connection::open(db::kDatabaseFile);
  c->exec("CREATE TABLE l (name TEXT, n INTEGER); INSERT INTO l VALUES ('a', 1), (NULL, 2)");
  static constexpr db::Column kName[] = {{"name", db::ColumnKind::Text}};
  auto ok = db::list_rows(*c, "SELECT name FROM l WHERE n = ?1", kName, "查询失败：", "读取失败：", int64_t{1});
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, Json::parse(R"([{"name":"a"}])"));
  EXPECT_EQ(db::list_rows(*c, "SELECT name FROM nowhere", kName, "查询失败：", "读取失败：").error(),
            "查询失败：no such table: nowhere");
  EXPECT_EQ(db::list_rows(*c, "SELECT name FROM l", kName, "查询失败：", "读取失败：").error(),
            "读取失败：Invalid column type Null at index: 0, name: name");
  EXPECT_EQ(db::try_query_integer(*c, "SELECT n FROM l WHERE name = ?1", "a"), 1);
  EXPECT_EQ(db::try_query_integer(*c, "SELECT n FROM l WHERE name = ?1", "zz"), std::nullopt);
  EXPECT_EQ(db::try_query_integer(*c, "SELECT n FROM nowhere"), std::nullopt);
  EXPECT_EQ(c->query_text_or("-", "SELECT name FROM l WHERE n = 1"), "a");
  EXPECT_EQ(c->query_text_or("-", "SELECT name FROM l WHERE n = 2"), "-");
  EXPECT_EQ(c->query_text_or("-", "SELECT name FROM l WHERE n = 3"), "-");
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

TEST_F(ScratchTest, InventoryDbThatCannotBeOpenedLeavesTheSlotEmpty) {
  std::filesystem::create_directory(db::kDatabaseFile);
  auto r = db::init_database();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "unable to open database file");
  EXPECT_FALSE(db::db_connection().slot);
  EXPECT_FALSE(db::db_connection().poisoned);
  EXPECT_EQ(select_one(db::kFriendlyTexts).error(), "系统错误：数据库未初始化");
  EXPECT_EQ(select_one(db::kPlainTexts).error(), "Database not initialized");
}

TEST_F(ScratchTest, FailedInitKeepsTheOldConnectionInTheSlot) {
  ASSERT_TRUE(db::init_database().ok());
  shared_connection().execute("INSERT INTO customers (id, name) VALUES ('c1', 'kept')");
  db::Connection* old = db::db_connection().slot.get();
  // Put something unopenable in the file's place.
  std::filesystem::rename(db::kDatabaseFile, "moved.db");
  std::filesystem::create_directory(db::kDatabaseFile);
  auto r = db::init_database();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "unable to open database file");
  EXPECT_EQ(db::db_connection().slot.get(), old);
  auto name = db::with_connection<Json>(db::kPlainTexts, [](db::Connection& c) -> Result<Json> {
    return Json(c.query_text("SELECT name FROM customers WHERE id = 'c1'"));
  });
  ASSERT_TRUE(name.ok()) << name.error();
  EXPECT_EQ(*name, "kept");
}

TEST_F(ScratchTest, CorruptFileFailsInitWithTheEngineText) {
  {
    std::FILE* f = std::fopen(db::kDatabaseFile, "wb");
    ASSERT_NE(f, nullptr);
    std::string junk(4096, 'x');
    std::fwrite(junk.data(), 1, junk.size(), f);
    std::fclose(f);
  }
  auto r = db::init_database();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "file is not a database");
  EXPECT_FALSE(db::db_connection().slot);
}

TEST_F(ScratchTest, ConnectionsAcceptUriNames) {
  auto c = db::Connection::open("file:other.db?mode=rwc");
  c->exec("CREATE TABLE t (x)");
  EXPECT_TRUE(std::filesystem::exists("other.db"));
  EXPECT_EQ(c->query_integer("PRAGMA busy_timeout"), 5000);
}

TEST(SharedValues, RecordIdsAndTimestamps) {
  const std::regex uuid(R"([0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12})");
  std::set<std::string> ids;
  for (int i = 0; i < 100; ++i) {
    std::string id = db::new_record_id();
    EXPECT_TRUE(std::regex_match(id, uuid)) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 100u);
  EXPECT_TRUE(std::regex_match(db::local_timestamp(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));
  EXPECT_TRUE(std::regex_match(db::local_date(), std::regex(R"(\d{4}-\d\d-\d\d)")));
}

}  // namespace
