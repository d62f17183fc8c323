// System settings: key/value texts in system_config. The store is generic:
// any key may be read, listed and set; what a key means lies with whoever
// reads it (the backup commands read and write their own keys directly).
#pragma once

#include <optional>
#include <string>

#include "json.h"
#include "record.h"
#include "result.h"

struct SetConfigRequest {
  std::string config_key;
  std::string config_value;
  std::optional<std::string> description;
};
template <>
inline const Record<SetConfigRequest> record_of<SetConfigRequest>{
    "SetConfigRequest",
    {field<&SetConfigRequest::config_key>("config_key"), field<&SetConfigRequest::config_value>("config_value"),
     field<&SetConfigRequest::description>("description")}};

// The value, or the empty text when the key is absent or cannot be read.
Result<std::string> get_system_config(const std::string& config_key);
// Creates or changes one setting; keys beginning with "default_print_" need
// no permission, every other key needs permissions_edit.
Result<std::string> set_system_config(const SetConfigRequest& request, const std::string& username);
// Every setting, ordered by key.
Result<Json> get_all_system_configs();
