// The product master: the Product record, the request records that create and
// change products and their specifications, the two readers of a products row
// (strict and lenient) that other modules reuse, and the product commands.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json.h"
#include "record.h"
#include "result.h"

namespace db { class Statement; }

// One products row as it crosses the interface: 21 texts and 5 numbers.
struct Product {
  std::string id;
  std::string name;
  std::string code;
  std::string category;
  std::string unit;
  std::string unit2;
  double price = 0;
  double cost = 0;
  double stock = 0;
  double stock_unit2 = 0;
  std::string batch_no;
  std::string production_date;
  std::string expiry_date;
  std::string brand;
  std::string model;
  std::string package_type;
  std::string description;
  std::string image_path;
  std::string warehouse_id;
  std::string location_id;
  std::string barcode;
  std::string trace_code;
  std::string status;
  std::string category_id;
  double unit_rate = 0;
  std::string created_at;
};

// A new product: the Product fields without id and created_at; the four
// optional texts are stored as "" (status: "active") when absent.
struct AddProductRequest {
  std::string name;
  std::string code;
  std::string category;
  std::string unit;
  std::string unit2;
  double price = 0;
  double cost = 0;
  double stock = 0;
  double stock_unit2 = 0;
  std::string batch_no;
  std::string production_date;
  std::string expiry_date;
  std::string brand;
  std::string model;
  std::string package_type;
  std::string description;
  std::string image_path;
  std::string warehouse_id;
  std::string location_id;
  std::optional<std::string> barcode;
  std::optional<std::string> trace_code;
  std::optional<std::string> status;
  std::optional<std::string> category_id;
  double unit_rate = 0;
};

// A named variant of a product (colour, size) with its own price and stock.
struct ProductSpec {
  std::string id;
  std::string product_id;
  std::string spec_name;
  std::string spec_value;
  double price = 0;
  double stock = 0;
  std::string created_at;
};

struct AddProductSpecRequest {
  std::string product_id;
  std::string spec_name;
  std::string spec_value;
  double price = 0;
  double stock = 0;
};

struct UpdateProductSpecRequest {
  std::string id;
  std::string spec_name;
  std::string spec_value;
  double price = 0;
  double stock = 0;
};

struct UpdateProductImageRequest {
  std::string product_id;
  std::string image_path;
};

template <>
inline const Record<Product> record_of<Product>{
    "Product",
    {field<&Product::id>("id"), field<&Product::name>("name"), field<&Product::code>("code"),
     field<&Product::category>("category"), field<&Product::unit>("unit"), field<&Product::unit2>("unit2"),
     field<&Product::price>("price"), field<&Product::cost>("cost"), field<&Product::stock>("stock"),
     field<&Product::stock_unit2>("stock_unit2"), field<&Product::batch_no>("batch_no"),
     field<&Product::production_date>("production_date"), field<&Product::expiry_date>("expiry_date"),
     field<&Product::brand>("brand"), field<&Product::model>("model"),
     field<&Product::package_type>("package_type"), field<&Product::description>("description"),
     field<&Product::image_path>("image_path"), field<&Product::warehouse_id>("warehouse_id"),
     field<&Product::location_id>("location_id"), field<&Product::barcode>("barcode"),
     field<&Product::trace_code>("trace_code"), field<&Product::status>("status"),
     field<&Product::category_id>("category_id"), field<&Product::unit_rate>("unit_rate"),
     field<&Product::created_at>("created_at")}};

template <>
inline const Record<AddProductRequest> record_of<AddProductRequest>{
    "AddProductRequest",
    {field<&AddProductRequest::name>("name"), field<&AddProductRequest::code>("code"),
     field<&AddProductRequest::category>("category"), field<&AddProductRequest::unit>("unit"),
     field<&AddProductRequest::unit2>("unit2"), field<&AddProductRequest::price>("price"),
     field<&AddProductRequest::cost>("cost"), field<&AddProductRequest::stock>("stock"),
     field<&AddProductRequest::stock_unit2>("stock_unit2"), field<&AddProductRequest::batch_no>("batch_no"),
     field<&AddProductRequest::production_date>("production_date"),
     field<&AddProductRequest::expiry_date>("expiry_date"), field<&AddProductRequest::brand>("brand"),
     field<&AddProductRequest::model>("model"), field<&AddProductRequest::package_type>("package_type"),
     field<&AddProductRequest::description>("description"), field<&AddProductRequest::image_path>("image_path"),
     field<&AddProductRequest::warehouse_id>("warehouse_id"),
     field<&AddProductRequest::location_id>("location_id"), field<&AddProductRequest::barcode>("barcode"),
     field<&AddProductRequest::trace_code>("trace_code"), field<&AddProductRequest::status>("status"),
     field<&AddProductRequest::category_id>("category_id"), field<&AddProductRequest::unit_rate>("unit_rate")}};

template <>
inline const Record<ProductSpec> record_of<ProductSpec>{
    "ProductSpec",
    {field<&ProductSpec::id>("id"), field<&ProductSpec::product_id>("product_id"),
     field<&ProductSpec::spec_name>("spec_name"), field<&ProductSpec::spec_value>("spec_value"),
     field<&ProductSpec::price>("price"), field<&ProductSpec::stock>("stock"),
     field<&ProductSpec::created_at>("created_at")}};

template <>
inline const Record<AddProductSpecRequest> record_of<AddProductSpecRequest>{
    "AddProductSpecRequest",
    {field<&AddProductSpecRequest::product_id>("product_id"), field<&AddProductSpecRequest::spec_name>("spec_name"),
     field<&AddProductSpecRequest::spec_value>("spec_value"), field<&AddProductSpecRequest::price>("price"),
     field<&AddProductSpecRequest::stock>("stock")}};

template <>
inline const Record<UpdateProductSpecRequest> record_of<UpdateProductSpecRequest>{
    "UpdateProductSpecRequest",
    {field<&UpdateProductSpecRequest::id>("id"), field<&UpdateProductSpecRequest::spec_name>("spec_name"),
     field<&UpdateProductSpecRequest::spec_value>("spec_value"), field<&UpdateProductSpecRequest::price>("price"),
     field<&UpdateProductSpecRequest::stock>("stock")}};

template <>
inline const Record<UpdateProductImageRequest> record_of<UpdateProductImageRequest>{
    "UpdateProductImageRequest",
    {field<&UpdateProductImageRequest::product_id>("product_id"),
     field<&UpdateProductImageRequest::image_path>("image_path")}};

// ---- reading products rows ------------------------------------------------

// The columns every product reader selects, in the positions the readers
// expect (created_at at 20, the columns added later at 21 to 25):
//   "SELECT " + kProductColumns + " FROM products ..."
inline constexpr std::string_view kProductColumns =
    "id, name, code, category, unit, unit2, price, cost, stock, stock_unit2, batch_no, production_date, "
    "expiry_date, brand, model, package_type, description, image_path, warehouse_id, location_id, created_at, "
    "barcode, trace_code, status, category_id, unit_rate";

// Read the current row of a statement that selected kProductColumns. Both put
// "" for a NULL text and 0 (unit_rate: 1) for a NULL number where a column may
// be NULL, and fail with the engine-style "Invalid column type ..." db::DbError
// otherwise. The lenient reader, for listings, also takes a NULL or mistyped
// id, name, code or unit as "" and price, cost or stock as 0, where the strict
// one fails; both take a mistyped created_at as "".
Product read_product_row(const db::Statement& s);
Product read_product_list_row(const db::Statement& s);

// ---- commands -------------------------------------------------------------

Result<Product> add_product(const AddProductRequest& request, const std::string& username,
                            const std::string& real_name);
// Answers the product as it was sent (image_path and created_at are not written).
Result<Product> update_product(const Product& product, const std::string& username, const std::string& real_name);
// Every product, newest first.
Result<std::vector<Product>> get_products(const std::string& username);
Result<Unit> delete_product(const std::string& product_id, const std::string& username,
                            const std::string& real_name);

// Inserts every product whose code is still free, in order; passes over the others.
Result<std::vector<Product>> batch_add_products(const std::vector<AddProductRequest>& products);
// Deletes the products with their dependent rows in one transaction; answers
// "成功删除 {} 个商品".
Result<std::string> batch_delete_products(const std::vector<std::string>& product_ids, const std::string& username,
                                          const std::string& real_name);
// The product with this code, or a new minimal one when none has it.
Result<Product> get_or_create_product(const std::string& code, const std::string& name, double price, double cost,
                                      const std::string& unit);

Result<ProductSpec> add_product_spec(const AddProductSpecRequest& request);
// The product's specifications (ProductSpec objects), oldest first.
Result<Json> get_product_specs(const std::string& product_id);
Result<std::string> update_product_spec(const UpdateProductSpecRequest& request);
Result<std::string> delete_product_spec(const std::string& spec_id);
Result<std::string> update_product_image(const UpdateProductImageRequest& request);
