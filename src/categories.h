// Product categories: a flat table whose rows form a tree through parent_id
// ("" marks a top-level category). The server only stores, lists and deletes
// rows; building the tree and filing products under a category is the
// clients' business.
#pragma once

#include <cstdint>
#include <string>

#include "json.h"
#include "record.h"
#include "result.h"

struct CreateCategoryRequest {
  std::string name;
  std::string parent_id;
  int32_t sort_order = 0;
};

template <>
inline const Record<CreateCategoryRequest> record_of<CreateCategoryRequest>{
    "CreateCategoryRequest",
    {field<&CreateCategoryRequest::name>("name"), field<&CreateCategoryRequest::parent_id>("parent_id"),
     field<&CreateCategoryRequest::sort_order>("sort_order")}};

// One categories row.
struct Category {
  std::string id;
  std::string name;
  std::string parent_id;
  int32_t sort_order = 0;
  std::string created_at;
};

template <>
inline const Record<Category> record_of<Category>{
    "Category",
    {field<&Category::id>("id"), field<&Category::name>("name"), field<&Category::parent_id>("parent_id"),
     field<&Category::sort_order>("sort_order"), field<&Category::created_at>("created_at")}};

// Stores the category as sent (no check of name or parent).
Result<Category> add_category(const CreateCategoryRequest& request, const std::string& username,
                              const std::string& real_name);
// Every category, by sort_order and then name.
Result<Json> get_categories();
// Deletes the row alone: children keep their parent_id, products their category.
Result<std::string> delete_category(const std::string& category_id, const std::string& username,
                                    const std::string& real_name);
