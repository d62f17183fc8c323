// Product packages: named packing units of a product (a carton, a bundle, a
// set) with their own code and the quantity of the product they hold. A
// package belongs to one product and may be shared with others, which then
// list it among their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json.h"
#include "record.h"
#include "result.h"

struct CreatePackageRequest {
  std::string product_id;
  std::string package_name;
  std::string package_code;
  int32_t quantity = 0;
  bool is_shared = false;
  std::vector<std::string> shared_products;  // ids of the sharing products
  int32_t sort_order = 0;
};

template <>
inline const Record<CreatePackageRequest> record_of<CreatePackageRequest>{
    "CreatePackageRequest",
    {field<&CreatePackageRequest::product_id>("product_id"),
     field<&CreatePackageRequest::package_name>("package_name"),
     field<&CreatePackageRequest::package_code>("package_code"),
     field<&CreatePackageRequest::quantity>("quantity"), field<&CreatePackageRequest::is_shared>("is_shared"),
     field<&CreatePackageRequest::shared_products>("shared_products"),
     field<&CreatePackageRequest::sort_order>("sort_order")}};

// One package with its owning product's name. shared_products is the stored
// JSON array text (["a","b"]), handed on as text and never parsed.
struct ProductPackage {
  std::string id;
  std::string product_id;
  std::string product_name;
  std::string package_name;
  std::string package_code;
  int32_t quantity = 0;
  bool is_shared = false;
  std::string shared_products;
  int32_t sort_order = 0;
  std::string created_at;
};

template <>
inline const Record<ProductPackage> record_of<ProductPackage>{
    "ProductPackage",
    {field<&ProductPackage::id>("id"), field<&ProductPackage::product_id>("product_id"),
     field<&ProductPackage::product_name>("product_name"), field<&ProductPackage::package_name>("package_name"),
     field<&ProductPackage::package_code>("package_code"), field<&ProductPackage::quantity>("quantity"),
     field<&ProductPackage::is_shared>("is_shared"), field<&ProductPackage::shared_products>("shared_products"),
     field<&ProductPackage::sort_order>("sort_order"), field<&ProductPackage::created_at>("created_at")}};

// Refuses a product id that names no product.
Result<ProductPackage> add_product_package(const CreatePackageRequest& request, const std::string& username,
                                           const std::string& real_name);
// Every package whose product exists, by sort_order.
Result<Json> get_all_packages();
// The product's own packages and the shared ones that name it, by sort_order.
Result<Json> get_product_packages(const std::string& product_id);
Result<std::string> delete_product_package(const std::string& package_id, const std::string& username,
                                           const std::string& real_name);
