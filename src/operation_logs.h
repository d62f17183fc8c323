// The operation log: one row per thing a user did. Handlers append through
// log_operation after their change has succeeded; clients add entries of
// their own, read the newest ones and clear the table through the commands.
#pragma once

#include <string>
#include <string_view>

#include "json.h"
#include "record.h"
#include "result.h"

// Appends one operation_logs row through a connection of its own; never fails
// towards the caller. Call it after the change has succeeded (after COMMIT).
void log_operation(const std::string& username, const std::string& real_name, std::string_view action,
                   std::string_view module, std::string_view detail);

// An entry sent by a client; it names its own user.
struct AddLogRequest {
  std::string username;
  std::string real_name;
  std::string action;
  std::string module;
  std::string detail;
};
template <>
inline const Record<AddLogRequest> record_of<AddLogRequest>{
    "AddLogRequest",
    {field<&AddLogRequest::username>("username"), field<&AddLogRequest::real_name>("real_name"),
     field<&AddLogRequest::action>("action"), field<&AddLogRequest::module>("module"),
     field<&AddLogRequest::detail>("detail")}};

Result<std::string> add_operation_log(const AddLogRequest& request);
// The 100 newest entries, newest first (needs logs_view).
Result<Json> get_operation_logs(const std::string& username);
// Removes every entry (needs logs_view); leaves no entry of its own.
Result<std::string> clear_operation_logs(const std::string& username);
