// The 29 permission keys as data, and the seeding of the default
// grants that init_database runs on its new connection. The permissions
// module (permissions.cpp) reuses the key table for "get_role_permissions".
#pragma once

#include <array>
#include <string_view>

#include "result.h"

namespace db { class Connection; }

struct PermissionKeyInfo {
  std::string_view key;    // such as "products_view"
  std::string_view label;  // the group label, stored as permission_name
  bool admin;              // seeded grant of "admin"
  bool employee;           // seeded grant of "employee"
  bool new_role;           // what get_role_permissions stores for a role met anew
};

// In table order: the order in which seeding and get_role_permissions walk them.
extern const std::array<PermissionKeyInfo, 29> kPermissionKeys;

// Fills role_permissions with the 58 default rows ("admin" and "employee")
// when the table is empty (or cannot be counted); otherwise does nothing.
// Failed inserts are ignored; always succeeds.
Result<Unit> seed_default_role_permissions(db::Connection& c);
