// The three category commands. Each statement runs on its own on the shared
// connection; failures are mapped through friendly_error.
#include "categories.h"

#include "database.h"
#include "operation_logs.h"
#include "permissions.h"

namespace {

constexpr std::string_view kModule = "类别管理";

// Row reader of the listing: parent_id and sort_order may be NULL.
constexpr db::Column kCategoryColumns[] = {
    {"id", db::ColumnKind::Text},
    {"name", db::ColumnKind::Text},
    {"parent_id", db::ColumnKind::EmptyIfNull},
    {"sort_order", db::ColumnKind::Int32ZeroIfNull},
    {"created_at", db::ColumnKind::Text},
};

}  // namespace

Result<Category> add_category(const CreateCategoryRequest& request, const std::string& username,
                              const std::string& real_name) {
  if (!check_permission(username, "products_edit")) return fail("权限不足：没有新增分类的权限");
  return db::with_connection<Category>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<Category> {
    Category category{db::new_record_id(), request.name, request.parent_id, request.sort_order,
                      db::local_timestamp()};
    c.execute("INSERT INTO categories (id, name, parent_id, sort_order, created_at) VALUES (?1,?2,?3,?4,?5)",
              category.id, category.name, category.parent_id, category.sort_order, category.created_at);
    log_operation(username, real_name, "添加", kModule, "添加类别: " + category.name);
    return category;
  });
}

Result<Json> get_categories() {
  return db::with_connection<Json>(db::kFriendlyTexts, [](db::Connection& c) -> Result<Json> {
    return db::read_rows(c, "SELECT * FROM categories ORDER BY sort_order, name", kCategoryColumns,
                         db::Strictness::Strict);
  });
}

Result<std::string> delete_category(const std::string& category_id, const std::string& username,
                                    const std::string& real_name) {
  if (!check_permission(username, "products_edit")) return fail("权限不足：没有删除分类的权限");
  return db::with_connection<std::string>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<std::string> {
    const std::string name = c.query_text_or("", "SELECT name FROM categories WHERE id=?1", category_id);
    c.execute("DELETE FROM categories WHERE id=?1", category_id);
    log_operation(username, real_name, "删除", kModule, "删除类别: '" + name + "'");
    return std::string("删除成功");
  });
}
