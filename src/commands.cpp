// The command table and the dispatcher that answers one call with it.
// Every row is data: the name, the handler and the "args" keys of its
// arguments (see commands.h for how argument kinds follow from the handler).
#include "commands.h"

#include <array>
#include <unordered_map>

#include "auth.h"
#include "categories.h"
#include "documents.h"
#include "locations.h"
#include "operation_logs.h"
#include "packages.h"
#include "permissions.h"
#include "products.h"
#include "system_config.h"
#include "warehouses.h"

namespace {

constexpr std::array<std::string_view, 6> kStandaloneOnly = {
    "restart_app", "save_backup_to", "save_product_image", "init_local_database", "generate_billing_pdf",
    "restore_database_from"};

const std::vector<Command>& table() {
  static const std::vector<Command> rows = {
      // Users and rights
      command<add_operation_log, "request">("add_operation_log"),
      command<add_user, "request">("add_user"),
      command<admin_reset_password, "targetUserId", "newPassword">("admin_reset_password"),
      command<change_password, "userId", "oldPassword", "newPassword">("change_password"),
      command<clear_operation_logs>("clear_operation_logs"),
      command<delete_user, "userId">("delete_user"),
      command<get_accounts>("get_accounts"),
      command<get_all_system_configs>("get_all_system_configs"),
      command<get_operation_logs>("get_operation_logs"),
      command<get_role_permissions, "roleName">("get_role_permissions"),
      command<get_system_config, "configKey">("get_system_config"),
      command<get_users>("get_users"),
      command<login, "request">("login"),
      command<logout>("logout"),
      command<set_role_permission, "request">("set_role_permission"),
      command<set_system_config, "request">("set_system_config"),
      // Catalogue
      command<add_category, "request">("add_category"),
      command<add_product_package, "request">("add_product_package"),
      command<delete_category, "categoryId">("delete_category"),
      command<delete_product_document, "docId">("delete_product_document"),
      command<delete_product_package, "packageId">("delete_product_package"),
      command<get_all_packages>("get_all_packages"),
      command<get_categories>("get_categories"),
      command<get_product_documents, "productId">("get_product_documents"),
      command<get_product_packages, "productId">("get_product_packages"),
      command<read_file_base64, "sourcePath">("read_file_base64"),
      command<save_product_document, "request">("save_product_document"),
      command<add_product, "request">("add_product"),
      command<add_product_spec, "request">("add_product_spec"),
      command<batch_add_products, "products">("batch_add_products"),
      command<batch_delete_products, "productIds">("batch_delete_products"),
      command<delete_product, "productId">("delete_product"),
      command<delete_product_spec, "specId">("delete_product_spec"),
      command<get_or_create_product, "code", "name", "price", "cost", "unit">("get_or_create_product"),
      command<get_product_specs, "productId">("get_product_specs"),
      command<get_products>("get_products"),
      command<update_product, "product">("update_product"),
      command<update_product_image, "request">("update_product_image"),
      command<update_product_spec, "request">("update_product_spec"),
      // Warehouses and locations
      command<add_location, "request">("add_location"),
      command<add_warehouse, "request">("add_warehouse"),
      command<debug_locations>("debug_locations"),
      command<delete_location, "locationId">("delete_location"),
      command<delete_warehouse, "warehouseId">("delete_warehouse"),
      command<get_all_locations>("get_all_locations"),
      command<get_locations, "warehouseId">("get_locations"),
      command<get_warehouses>("get_warehouses"),
      command<update_location, "request">("update_location"),
      command<update_warehouse, "request">("update_warehouse"),
  };
  return rows;
}

const Command* find(std::string_view name) {
  static const std::unordered_map<std::string_view, const Command*> index = [] {
    std::unordered_map<std::string_view, const Command*> m;
    for (const Command& c : table()) m.emplace(c.name, &c);
    return m;
  }();
  auto it = index.find(name);
  return it == index.end() ? nullptr : it->second;
}

bool standalone_only(std::string_view name) {
  for (std::string_view s : kStandaloneOnly)
    if (s == name) return true;
  return false;
}

const Json* member(const Json& args, std::string_view key) {
  if (!args.is_object()) return nullptr;
  auto it = args.find(key);
  return it == args.end() ? nullptr : &*it;
}

}  // namespace

std::string arg_str(const Json& args, std::string_view key) {
  const Json* v = member(args, key);
  return v && v->is_string() ? v->get<std::string>() : std::string();
}

std::optional<std::string> arg_opt_str(const Json& args, std::string_view key) {
  const Json* v = member(args, key);
  if (!v || !v->is_string() || v->get_ref<const std::string&>().empty()) return std::nullopt;
  return v->get<std::string>();
}

bool arg_bool(const Json& args, std::string_view key) {
  const Json* v = member(args, key);
  return v && v->is_boolean() && v->get<bool>();
}

double arg_number(const Json& args, std::string_view key) {
  const Json* v = member(args, key);
  return v && v->is_number() ? v->get<double>() : 0.0;
}

Json arg_value(const Json& args, std::string_view key) {
  const Json* v = member(args, key);
  return v ? *v : Json(nullptr);
}

std::span<const Command> command_table() { return table(); }

bool answers_at_once(std::string_view cmd) {
  return cmd == "ping" || standalone_only(cmd) || find(cmd) == nullptr;
}

Result<Json> dispatch_command(std::string_view cmd, const Json& args, const std::string& username,
                              const std::string& real_name) {
  if (cmd == "ping") return Json{{"ok", true}};
  if (standalone_only(cmd)) return Error{"此操作仅在单机版可用"};
  const Command* row = find(cmd);
  if (!row) return Error{"Unknown command: " + std::string(cmd)};
  return row->run(args, Caller{username, real_name});
}
