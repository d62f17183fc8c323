// Black-box support: the real server executable started in a directory of
// its own on a free port, and small blocking HTTP clients to talk to it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace blackbox {

// A port that nothing listens on right now.
uint16_t free_port();

struct ServerOptions {
  std::optional<std::string> port_variable;  // INVENTORY_PORT; none: a free port
  bool unset_port_variable = false;          // start without INVENTORY_PORT
  std::filesystem::path directory;           // empty: a new scratch directory
  bool wait_until_listening = true;
  std::string standard_input;                // fed to the process, then closed
};

class ServerProcess {
 public:
  explicit ServerProcess(ServerOptions options = {});
  ~ServerProcess();

  uint16_t port() const { return port_; }
  const std::filesystem::path& directory() const { return dir_; }
  pid_t pid() const { return pid_; }

  // Everything written to standard output (and error) so far.
  std::string output() const;
  std::vector<std::string> lines() const;
  // Waits until the output holds `text`; false on time-out.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  // Waits for the process to end; its exit status, or nullopt on time-out.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  std::filesystem::path dir_;
  bool own_dir_ = false;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::string output_;
  std::optional<int> status_;
};

struct HttpReply {
  int status = 0;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
};

// One keep-alive connection.
class HttpClient {
 public:
  explicit HttpClient(uint16_t port);
  HttpReply request(const std::string& method, const std::string& target, const std::string& body = "",
                    const std::string& content_type = "application/json");
  HttpReply post(const std::string& target, const std::string& body) { return request("POST", target, body); }
  // Calls a command; the reply body.
  std::string rpc(const std::string& cmd, const std::string& args_json = "{}", const std::string& username = "admin",
                  const std::string& real_name = "管理员");

 private:
  boost::asio::io_context ioc_;
  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
};

// A subscriber of /events that collects the data lines and comments it receives.
class EventClient {
 public:
  explicit EventClient(uint16_t port);
  ~EventClient();
  int status() const { return status_; }
  const std::map<std::string, std::string>& headers() const { return headers_; }
  // The next event's data, or ":" for a keep-alive comment; nullopt on time-out.
  std::optional<std::string> next(std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
  int status_ = 0;
  std::map<std::string, std::string> headers_;
  std::string pending_;  // raw bytes not yet decoded
  std::string decoded_;  // body bytes not yet split into events
};

}  // namespace blackbox
