// Roles and permission keys: which role may do what, and the one check that
// every guarded command makes before it touches anything.
//
// A user's role is the free text in users.role; role_permissions holds one row
// per role and key. The 29 keys with their labels and default grants live in
// permission_keys.h.
#pragma once

#include <string>
#include <string_view>

#include "json.h"
#include "record.h"
#include "result.h"

namespace db { class Connection; }

// Granted or not, from the user's role and role_permissions; any failure
// counts as not granted. It takes the shared connection itself: call it
// before borrowing the connection, never while holding it.
bool check_permission(const std::string& username, std::string_view key);

struct SetPermissionRequest {
  std::string role_name;
  std::string permission_key;  // any text, not only the 29 keys
  bool is_granted = false;
};
template <>
inline const Record<SetPermissionRequest> record_of<SetPermissionRequest>{
    "SetPermissionRequest",
    {field<&SetPermissionRequest::role_name>("role_name"),
     field<&SetPermissionRequest::permission_key>("permission_key"),
     field<&SetPermissionRequest::is_granted>("is_granted")}};

// Grants or denies one key to one role (needs permissions_edit).
Result<std::string> set_role_permission(const SetPermissionRequest& request, const std::string& username);

// The role's rows sorted by key. A role read for the first time is given its
// default rows first; see permissions.cpp for which keys come when.
Result<Json> get_role_permissions(const std::string& role_name);
