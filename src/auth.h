// User accounts, log-in and log-out.
//
// Accounts are rows of `users`; passwords are stored and compared as plain
// text, since other programs read the same database file as it is. Log-in
// remembers the name in ACTIVE_SESSIONS, the in-memory set of logged-in names,
// and refuses a second log-in of a name until a log-out carries it. Nothing
// else reads that set: every command takes the caller's names as sent.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "json.h"
#include "record.h"
#include "result.h"

namespace db { class Connection; }

struct AddUserRequest {
  std::string username;
  std::string password;
  std::string real_name;
  std::string role;  // free text; "admin" and "employee" are seeded with permissions
};
template <>
inline const Record<AddUserRequest> record_of<AddUserRequest>{
    "AddUserRequest",
    {field<&AddUserRequest::username>("username"), field<&AddUserRequest::password>("password"),
     field<&AddUserRequest::real_name>("real_name"), field<&AddUserRequest::role>("role")}};

// An account as answers show it: never its password.
struct User {
  std::string id;
  std::string username;
  std::string password;  // always empty
  std::string real_name;
  std::string role;      // user_role() of the stored role text
  std::vector<std::string> permissions;
  std::string created_at;
};
template <>
inline const Record<User> record_of<User>{
    "User",
    {field<&User::id>("id"), field<&User::username>("username"), field<&User::password>("password"),
     field<&User::real_name>("real_name"), field<&User::role>("role"), field<&User::permissions>("permissions"),
     field<&User::created_at>("created_at")}};

// "Admin" for the role text "admin" exactly, "Employee" for any other.
std::string user_role(const std::string& stored_role);

struct LoginRequest {
  std::string username;
  std::string password;
};
template <>
inline const Record<LoginRequest> record_of<LoginRequest>{
    "LoginRequest", {field<&LoginRequest::username>("username"), field<&LoginRequest::password>("password")}};

// A refused log-in is an answer (success false, the reason as message), not an error.
struct LoginResponse {
  bool success = false;
  std::string message;
  std::optional<User> user;
};
template <>
inline const Record<LoginResponse> record_of<LoginResponse>{
    "LoginResponse", {field<&LoginResponse::success>("success"), field<&LoginResponse::message>("message"),
                      field<&LoginResponse::user>("user")}};

Result<User> add_user(const AddUserRequest& request, const std::string& username, const std::string& real_name);
// Every account, newest first, with the password left empty (needs users_view).
Result<Json> get_users(const std::string& username);
// The account named "admin" cannot be deleted.
Result<Unit> delete_user(const std::string& user_id, const std::string& username, const std::string& real_name);
// Every account's username, real_name and stored role, ordered by username;
// no permission needed (the start-up counts them too).
Result<Json> get_accounts();
// Any account whose old password the caller knows.
Result<Unit> change_password(const std::string& user_id, const std::string& old_password,
                             const std::string& new_password, const std::string& username,
                             const std::string& real_name);
// Sets a password without the old one (needs users_edit).
Result<Unit> admin_reset_password(const std::string& target_user_id, const std::string& new_password,
                                  const std::string& username, const std::string& real_name);

Result<LoginResponse> login(const LoginRequest& request);
Result<Unit> logout(const std::string& username);

// The keys granted to a role, in the database's order; any failure gives the
// keys read so far. Works on a connection the caller holds.
std::vector<std::string> load_role_permission_keys(db::Connection& c, const std::string& role);
