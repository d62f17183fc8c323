#include "blackbox/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace blackbox {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

uint16_t free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

ServerProcess::ServerProcess(ServerOptions options) {
  static std::atomic<int> counter{0};
  if (options.directory.empty()) {
    dir_ = std::filesystem::temp_directory_path() /
           ("inventory-bb-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    own_dir_ = true;
  } else {
    dir_ = options.directory;
  }
  if (!options.port_variable && !options.unset_port_variable) {
    port_ = free_port();
    options.port_variable = std::to_string(port_);
  } else {
    port_ = 0;
  }
  int out[2], in[2];
  if (::pipe(out) != 0 || ::pipe(in) != 0) throw std::runtime_error("pipe");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    ::close(in[1]);
    ::close(out[0]);
    if (::chdir(dir_.c_str()) != 0) _exit(127);
    if (options.unset_port_variable) ::unsetenv("INVENTORY_PORT");
    else ::setenv("INVENTORY_PORT", options.port_variable->c_str(), 1);
    ::execl(SERVER_EXE, SERVER_EXE, static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  if (!options.standard_input.empty())
    (void)!::write(in[1], options.standard_input.data(), options.standard_input.size());
  ::close(in[1]);
  out_fd_ = out[0];
  reader_ = std::thread([this] {
    char buf[4096];
    for (;;) {
      ssize_t n = ::read(out_fd_, buf, sizeof buf);
      if (n <= 0) break;
      std::lock_guard lock(mutex_);
      output_.append(buf, n);
    }
  });
  if (options.wait_until_listening && !wait_for_output("HTTP 服务启动成功"))
    throw std::runtime_error("server did not start: " + output());
}

ServerProcess::~ServerProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int st;
    ::waitpid(pid_, &st, 0);
  }
  if (reader_.joinable()) reader_.join();
  ::close(out_fd_);
  if (own_dir_) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

std::string ServerProcess::output() const {
  std::lock_guard lock(mutex_);
  return output_;
}

std::vector<std::string> ServerProcess::lines() const {
  std::vector<std::string> out;
  std::istringstream in(output());
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

bool ServerProcess::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (output().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::optional<int> ServerProcess::wait_exit(std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    int st;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      if (reader_.joinable()) reader_.join();
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

HttpClient::HttpClient(uint16_t port) : stream_(ioc_) {
  stream_.connect(net::ip::tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  stream_.socket().set_option(net::ip::tcp::no_delay(true));
}

HttpReply HttpClient::request(const std::string& method, const std::string& target, const std::string& body,
                              const std::string& content_type) {
  http::request<http::string_body> req{http::string_to_verb(method), target, 11};
  req.set(http::field::host, "127.0.0.1");
  if (!content_type.empty()) req.set(http::field::content_type, content_type);
  req.body() = body;
  req.prepare_payload();
  http::write(stream_, req);
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 * 1024 * 1024);
  http::read(stream_, buffer_, parser);
  auto res = parser.release();
  HttpReply reply;
  reply.status = res.result_int();
  for (const auto& f : res) {
    std::string name(f.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    reply.headers[name] = std::string(f.value());
  }
  reply.body = res.body();
  return reply;
}

std::string HttpClient::rpc(const std::string& cmd, const std::string& args_json, const std::string& username,
                            const std::string& real_name) {
  std::string body = "{\"cmd\":\"" + cmd + "\",\"args\":" + args_json + ",\"username\":\"" + username +
                     "\",\"realName\":\"" + real_name + "\"}";
  return post("/rpc", body).body;
}

EventClient::EventClient(uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("connect");
  std::string req = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
  (void)!::write(fd_, req.data(), req.size());
  // Read the header.
  std::string raw;
  char buf[4096];
  while (raw.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) throw std::runtime_error("events header");
    raw.append(buf, n);
  }
  size_t end = raw.find("\r\n\r\n");
  std::istringstream head(raw.substr(0, end));
  std::string line;
  std::getline(head, line);
  status_ = std::stoi(line.substr(9, 3));
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    headers_[name] = line.substr(line.find_first_not_of(' ', colon + 1));
  }
  pending_ = raw.substr(end + 4);
}

EventClient::~EventClient() { ::close(fd_); }

std::optional<std::string> EventClient::next(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Decode whole chunks.
    for (;;) {
      size_t crlf = pending_.find("\r\n");
      if (crlf == std::string::npos) break;
      size_t size = std::stoul(pending_.substr(0, crlf), nullptr, 16);
      if (pending_.size() < crlf + 2 + size + 2) break;
      decoded_ += pending_.substr(crlf + 2, size);
      pending_.erase(0, crlf + 2 + size + 2);
    }
    size_t blank = decoded_.find("\n\n");
    if (blank != std::string::npos) {
      std::string event = decoded_.substr(0, blank);
      decoded_.erase(0, blank + 2);
      if (event == ":") return std::string(":");
      if (event.rfind("data: ", 0) == 0) return event.substr(6);
      return event;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    pending_.append(buf, n);
  }
}

}  // namespace blackbox
