// Start-up of the real executable: the console lines, the port variable,
// freeing a held port, and a database that cannot be opened.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "blackbox/server_process.h"

namespace {

using blackbox::HttpClient;
using blackbox::ServerOptions;
using blackbox::ServerProcess;

const std::string kRule(35, '=');

TEST(Startup, ConsoleLines) {
  ServerProcess server;
  const std::string p = std::to_string(server.port());
  auto lines = server.lines();
  const std::vector<std::string> head = {
      kRule, "  进销存管理系统 - 服务端", kRule, "", "[1/4] 正在初始化数据库...", "      ✅ 数据库初始化成功", "",
      "[2/4] 验证数据库...", "      数据库正常 (1 个账号)", "[3/4] 正在启动 HTTP 服务...", "      HTTP 服务启动成功",
      "", kRule, "  服务信息", kRule, "  端口:       " + p, "  本机地址:   http://127.0.0.1:" + p, "",
      "  其他电脑请使用本机IP地址+" + p + "端口连接"};
  ASSERT_TRUE(server.wait_for_output("  按 Ctrl+C 停止服务\n" + kRule + "\n\n"));
  lines = server.lines();
  ASSERT_GE(lines.size(), head.size() + 3);
  for (size_t i = 0; i < head.size(); ++i) EXPECT_EQ(lines[i], head[i]) << "line " << i;
  size_t i = head.size();
  for (; lines[i].rfind("  -> IP地址: ", 0) == 0; ++i) {
    EXPECT_NE(lines[i].find("    端口: " + p), std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].find("127.0.0.1"), std::string::npos);
  }
  EXPECT_EQ(lines[i], "");
  EXPECT_EQ(lines[i + 1], "  按 Ctrl+C 停止服务");
  EXPECT_EQ(lines[i + 2], kRule);
}

// Port value -> the port listened on (0: the default 9520).
TEST(Startup, PortVariable) {
  const uint16_t free = blackbox::free_port();
  const std::string f = std::to_string(free);
  struct Case {
    std::string value;
    bool valid;
  };
  const Case cases[] = {
      {f, true}, {"+" + f, true}, {"00" + f, true},
      {"", false}, {" " + f, false}, {f + " ", false}, {"-1", false}, {"+", false}, {"65536", false},
      {"80a", false}, {"８０８０", false},
  };
  for (const Case& c : cases) {
    ServerOptions options;
    options.port_variable = c.value;
    ServerProcess server(options);
    const uint16_t expected = c.valid ? free : 9520;
    EXPECT_TRUE(server.wait_for_output("  端口:       " + std::to_string(expected) + "\n")) << "'" << c.value << "'";
    HttpClient client(expected);
    EXPECT_EQ(client.post("/ping", "").status, 200) << "'" << c.value << "'";
  }
  ServerOptions unset;
  unset.unset_port_variable = true;
  ServerProcess server(unset);
  EXPECT_TRUE(server.wait_for_output("  端口:       9520\n"));
}

TEST(Startup, PortZeroShowsZero) {
  ServerOptions options;
  options.port_variable = "0";
  ServerProcess server(options);
  EXPECT_TRUE(server.wait_for_output("  端口:       0\n  本机地址:   http://127.0.0.1:0\n"));
}

// A child process that listens on `port` (or connects to it) until killed.
pid_t hold(uint16_t port, bool listen_on_it) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(listen_on_it ? INADDR_ANY : INADDR_LOOPBACK);
    bool ok = listen_on_it ? (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 8) == 0)
                           : ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    char c = ok ? '1' : '0';
    (void)!::write(ready[1], &c, 1);
    for (;;) ::pause();
  }
  char c = '0';
  (void)!::read(ready[0], &c, 1);
  ::close(ready[0]);
  ::close(ready[1]);
  if (c != '1') {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

bool alive(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }

TEST(Startup, FreesAHeldPortAndSparesBystanders) {
  // A port whose number is also the start of another free port's number.
  uint16_t port = 0;
  pid_t holder = -1;
  for (uint16_t candidate = 2000 + ::getpid() % 4000; holder < 0 && candidate < 6500; candidate += 7) {
    port = candidate;
    holder = hold(port, true);
  }
  ASSERT_GT(holder, 0);
  pid_t longer_port = hold(static_cast<uint16_t>(port * 10 + 7), true);  // begins with the same digits
  pid_t client = hold(port, false);                                       // the port is its remote port
  ASSERT_GT(client, 0);

  ServerOptions options;
  options.port_variable = std::to_string(port);
  ServerProcess server(options);
  const std::string out = server.output();
  EXPECT_NE(out.find("[服务端] 端口 " + std::to_string(port) + " 被占用，正在释放...\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[Server] Killed process PID: " + std::to_string(holder) + "\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Killed process PID: " + std::to_string(client)), std::string::npos);
  ::waitpid(holder, nullptr, 0);  // reaped: it was killed
  EXPECT_TRUE(alive(client));
  if (longer_port > 0) EXPECT_TRUE(alive(longer_port));
  HttpClient http(port);
  EXPECT_EQ(http.post("/ping", "").status, 200);
  for (pid_t p : {client, longer_port}) {
    if (p > 0) {
      ::kill(p, SIGKILL);
      ::waitpid(p, nullptr, 0);
    }
  }
}

TEST(Startup, DatabaseThatCannotBeOpened) {
  auto dir = std::filesystem::temp_directory_path() / ("inventory-bb-baddb-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "inventory.db");  // a directory in the file's place
  ServerOptions options;
  options.directory = dir;
  options.wait_until_listening = false;
  {
    ServerProcess server(options);
    auto status = server.wait_exit();
    ASSERT_TRUE(status.has_value()) << server.output();
    EXPECT_EQ(*status, 0);
    auto lines = server.lines();
    ASSERT_EQ(lines.size(), 12u) << server.output();
    EXPECT_EQ(lines[4], "[1/4] 正在初始化数据库...");
    EXPECT_EQ(lines[5].rfind("      ❌ 数据库初始化失败: ", 0), 0u) << lines[5];
    const std::vector<std::string> tail = {"", "  可能原因：", "  1. inventory.db 文件被其他程序占用",
                                           "  2. 当前目录没有写入权限", "  3. 磁盘空间不足", "  按 Enter 键退出..."};
    for (size_t i = 0; i < tail.size(); ++i) EXPECT_EQ(lines[6 + i], tail[i]);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
