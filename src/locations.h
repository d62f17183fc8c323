// Storage locations: named places inside a warehouse, described by free-text
// coordinates. A product is placed at one through products.location_id, which
// keeps the location from being deleted. Changes are written to the
// operation log under "库位管理"; failures go through friendly_error.
#pragma once

#include <string>

#include "json.h"
#include "record.h"
#include "result.h"

// One row of the locations table, in its column order: the answer of
// add_location and the listings, and the request of update_location.
struct Location {
  std::string id;
  std::string warehouse_id;
  std::string warehouse_name;  // as the client sent it; not kept in step with the warehouse
  std::string code;
  std::string name;
  std::string zone;
  std::string aisle;
  std::string shelf;
  std::string level;
  std::string position;
  std::string description;
  std::string created_at;
};

template <>
inline const Record<Location> record_of<Location>{
    "Location",
    {field<&Location::id>("id"), field<&Location::warehouse_id>("warehouse_id"),
     field<&Location::warehouse_name>("warehouse_name"), field<&Location::code>("code"),
     field<&Location::name>("name"), field<&Location::zone>("zone"), field<&Location::aisle>("aisle"),
     field<&Location::shelf>("shelf"), field<&Location::level>("level"), field<&Location::position>("position"),
     field<&Location::description>("description"), field<&Location::created_at>("created_at")}};

// A new location: the row without id and created_at.
struct AddLocationRequest {
  std::string warehouse_id;
  std::string warehouse_name;
  std::string code;
  std::string name;
  std::string zone;
  std::string aisle;
  std::string shelf;
  std::string level;
  std::string position;
  std::string description;
};

template <>
inline const Record<AddLocationRequest> record_of<AddLocationRequest>{
    "AddLocationRequest",
    {field<&AddLocationRequest::warehouse_id>("warehouse_id"),
     field<&AddLocationRequest::warehouse_name>("warehouse_name"), field<&AddLocationRequest::code>("code"),
     field<&AddLocationRequest::name>("name"), field<&AddLocationRequest::zone>("zone"),
     field<&AddLocationRequest::aisle>("aisle"), field<&AddLocationRequest::shelf>("shelf"),
     field<&AddLocationRequest::level>("level"), field<&AddLocationRequest::position>("position"),
     field<&AddLocationRequest::description>("description")}};

// Refuses a code that a location of any warehouse already has.
Result<Location> add_location(const AddLocationRequest& request, const std::string& username,
                              const std::string& real_name);
// The warehouse's locations, newest first; every location for the empty id.
// A row that cannot be read fails the listing.
Result<Json> get_locations(const std::string& warehouse_id);
// Every location, newest first; unreadable values list as empty text, and a
// table that cannot be counted lists as empty.
Result<Json> get_all_locations();
// Rewrites every column but id and created_at; the table's unique
// (warehouse_id, code) key refuses a code taken in the same warehouse.
Result<std::string> update_location(const Location& location, const std::string& username,
                                    const std::string& real_name);
// Refused while a product is placed at the location.
Result<std::string> delete_location(const std::string& location_id, const std::string& username,
                                    const std::string& real_name);
// A diagnostic text: the number of rows and the table's CREATE statement.
Result<std::string> debug_locations();
