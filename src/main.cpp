// Start-up: the banner and numbered steps on the console, the database, the
// account count, the port from INVENTORY_PORT, then the HTTP server, which
// runs until the process is killed.
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "auth.h"
#include "database.h"
#include "platform.h"
#include "server.h"

namespace {

constexpr uint16_t kDefaultPort = 9520;

// An optional "+" and decimal digits, nothing else, up to 65535.
uint16_t port_from(const char* value) {
  if (!value) return kDefaultPort;
  std::string_view v(value);
  if (!v.empty() && v.front() == '+') v.remove_prefix(1);
  if (v.empty()) return kDefaultPort;
  unsigned long n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return kDefaultPort;
    n = n * 10 + (c - '0');
    if (n > 65535) return kDefaultPort;
  }
  return static_cast<uint16_t>(n);
}

void wait_for_enter() {
  console_line("  按 Enter 键退出...");
  std::string line;
  std::getline(std::cin, line);
}

}  // namespace

int main() {
  const std::string rule(35, '=');
  console_line(rule);
  console_line("  进销存管理系统 - 服务端");
  console_line(rule);
  console_line("");
  console_line("[1/4] 正在初始化数据库...");
  if (auto init = db::init_database(); !init) {
    console_line("      ❌ 数据库初始化失败: " + init.error());
    console_line("");
    console_line("  可能原因：");
    console_line("  1. inventory.db 文件被其他程序占用");
    console_line("  2. 当前目录没有写入权限");
    console_line("  3. 磁盘空间不足");
    wait_for_enter();
    return 0;
  }
  console_line("      ✅ 数据库初始化成功");
  console_line("");
  console_line("[2/4] 验证数据库...");
  auto accounts = get_accounts();
  if (!accounts) {
    console_line("      ❌ 数据库异常: " + accounts.error());
    wait_for_enter();
    return 0;
  }
  console_line("      数据库正常 (" + std::to_string(accounts->size()) + " 个账号)");
  const uint16_t port = port_from(std::getenv("INVENTORY_PORT"));
  console_line("[3/4] 正在启动 HTTP 服务...");
  try {
    start_server(port);
  } catch (const std::exception& e) {
    std::cerr << "无法创建异步运行时: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
