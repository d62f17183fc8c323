// Warehouses: the places where stock is kept. Each has a unique code and free
// text contact details; at most one carries the default flag. The storage
// locations inside a warehouse (locations.h) keep it from being deleted.
// These handlers write no operation log and answer database failures with
// the engine's own texts.
#pragma once

#include <optional>
#include <string>

#include "json.h"
#include "record.h"
#include "result.h"

// A stored warehouse: the answer of add_warehouse and get_warehouses, and
// the request of update_warehouse.
struct Warehouse {
  std::string id;
  std::string name;
  std::string code;
  std::string address;
  std::string contact;
  std::string phone;
  std::string description;
  bool is_default = false;
  std::string created_at;
};

template <>
inline const Record<Warehouse> record_of<Warehouse>{
    "Warehouse",
    {field<&Warehouse::id>("id"), field<&Warehouse::name>("name"), field<&Warehouse::code>("code"),
     field<&Warehouse::address>("address"), field<&Warehouse::contact>("contact"),
     field<&Warehouse::phone>("phone"), field<&Warehouse::description>("description"),
     field<&Warehouse::is_default>("is_default"), field<&Warehouse::created_at>("created_at")}};

struct AddWarehouseRequest {
  std::string name;
  std::string code;
  std::optional<std::string> address;
  std::optional<std::string> contact;
  std::optional<std::string> phone;
  std::optional<std::string> description;
  bool is_default = false;
};

template <>
inline const Record<AddWarehouseRequest> record_of<AddWarehouseRequest>{
    "AddWarehouseRequest",
    {field<&AddWarehouseRequest::name>("name"), field<&AddWarehouseRequest::code>("code"),
     field<&AddWarehouseRequest::address>("address"), field<&AddWarehouseRequest::contact>("contact"),
     field<&AddWarehouseRequest::phone>("phone"), field<&AddWarehouseRequest::description>("description"),
     field<&AddWarehouseRequest::is_default>("is_default")}};

// Refuses a code already in use; a new default takes the flag from the others.
Result<Warehouse> add_warehouse(const AddWarehouseRequest& request, const std::string& username);
// Every warehouse, newest first.
Result<Json> get_warehouses();
// Rewrites every column but id and created_at.
Result<std::string> update_warehouse(const Warehouse& warehouse, const std::string& username);
// Refused while a storage location belongs to the warehouse.
Result<std::string> delete_warehouse(const std::string& warehouse_id, const std::string& username);
