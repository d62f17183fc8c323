// How the server fits together:
//
//   main thread:  bind loop (freeing a held port) -> service information ->
//                 accept loop, then it runs the I/O context with the others.
//   I/O threads:  one HttpSession per connection, each on its own strand; it
//                 owns its socket, its read buffer and the request being read.
//   handler pool: commands that wait for the database run on a pool that
//                 grows whenever every worker is busy, so a blocked handler
//                 never holds up /ping, event streams or other connections.
//                 The answer is posted back to the session's strand.
//   /events:      an EventStream owns the socket handed over by the session
//                 and one subscription of the ChangeBroadcast.
#include "server.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "commands.h"
#include "json.h"
#include "platform.h"

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// ---- ChangeBroadcast --------------------------------------------------------

std::shared_ptr<ChangeBroadcast> ChangeBroadcast::create(size_t capacity) {
  std::shared_ptr<ChangeBroadcast> b(new ChangeBroadcast(capacity));
  b->self_ = b;
  return b;
}

std::shared_ptr<ChangeBroadcast::Subscription> ChangeBroadcast::subscribe(std::function<void()> wake) {
  auto s = std::make_shared<Subscription>();
  s->owner_ = self_.lock();
  s->wake_ = std::move(wake);
  std::lock_guard lock(mutex_);
  s->next_ = next_seq_;
  subscribers_.push_back(s.get());
  return s;
}

ChangeBroadcast::Subscription::~Subscription() {
  std::lock_guard lock(owner_->mutex_);
  auto& subs = owner_->subscribers_;
  subs.erase(std::remove(subs.begin(), subs.end(), this), subs.end());
}

std::vector<std::string> ChangeBroadcast::Subscription::take() {
  std::lock_guard lock(owner_->mutex_);
  const uint64_t oldest = owner_->next_seq_ - owner_->held_.size();
  if (next_ < oldest) next_ = oldest;  // lagged: the lost names are not reported
  std::vector<std::string> names(owner_->held_.begin() + (next_ - oldest), owner_->held_.end());
  next_ = owner_->next_seq_;
  return names;
}

void ChangeBroadcast::send(std::string name) {
  std::vector<std::function<void()>> wakes;
  {
    std::lock_guard lock(mutex_);
    held_.push_back(std::move(name));
    if (held_.size() > capacity_) held_.pop_front();
    ++next_seq_;
    wakes.reserve(subscribers_.size());
    for (Subscription* s : subscribers_) wakes.push_back(s->wake_);
  }
  for (auto& w : wakes) if (w) w();
}

// ---- the write commands -----------------------------------------------------

namespace {

constexpr std::array<std::string_view, 74> kWriteCommands = {
    "add_user", "delete_user", "change_password", "admin_reset_password", "add_product", "update_product",
    "delete_product", "batch_add_products", "batch_delete_products", "update_product_image", "add_product_spec",
    "update_product_spec", "delete_product_spec", "add_customer", "update_customer", "delete_customer",
    "add_supplier", "update_supplier", "delete_supplier", "create_sale_order", "batch_create_sale_orders",
    "update_sale_order_status", "delete_sale_order", "toggle_sale_invoice", "update_sale_order_remark",
    "create_purchase_order", "update_purchase_order_status", "delete_purchase_order", "toggle_purchase_invoice",
    "update_purchase_order_remark", "adjust_inventory", "add_warehouse", "update_warehouse", "delete_warehouse",
    "add_location", "update_location", "delete_location", "set_system_config", "create_billing", "update_billing",
    "update_billing_payment", "delete_billing", "auto_create_billing", "add_payment_record",
    "delete_payment_record", "create_transfer_order", "delete_transfer_order", "create_return_order",
    "delete_return_order", "create_assembly_record", "delete_assembly_record", "add_invoice", "delete_invoice",
    "add_product_package", "delete_product_package", "backup_database", "restore_database", "add_category",
    "delete_category", "stock_in", "stock_out", "stock_count", "batch_stock_in", "batch_stock_out",
    "add_print_template", "update_print_template", "delete_print_template", "set_default_print_template",
    "import_products", "import_customers", "import_suppliers", "add_operation_log", "clear_operation_logs",
    "set_role_permission"};

}  // namespace

bool is_write_command(std::string_view cmd) {
  for (std::string_view w : kWriteCommands)
    if (w.size() == cmd.size() && w == cmd) return true;
  return false;
}

namespace {

constexpr size_t kBodyLimit = 2 * 1024 * 1024;
constexpr auto kKeepAlive = std::chrono::seconds(15);
constexpr auto kBindRetry = std::chrono::milliseconds(500);

// ---- the handler pool --------------------------------------------------------

class HandlerPool {
 public:
  void submit(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
    if (queue_.size() <= waiting_) {
      ready_.notify_one();
    } else {
      std::thread([this] { work(); }).detach();
    }
  }

 private:
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++waiting_;
      bool got = ready_.wait_for(lock, std::chrono::seconds(30), [&] { return !queue_.empty(); });
      --waiting_;
      if (!got) return;  // an idle worker goes away; a new one starts when needed
      std::function<void()> task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> queue_;
  size_t waiting_ = 0;
};

HandlerPool& handler_pool() {
  static HandlerPool* pool = new HandlerPool();  // lives until the process ends
  return *pool;
}

// ---- responses ---------------------------------------------------------------

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

void add_cors(Response& res) {
  res.set(http::field::access_control_allow_origin, "*");
  res.set(http::field::vary, "origin, access-control-request-method, access-control-request-headers");
}

Response make_response(http::status status, unsigned version, bool keep_alive, std::string_view content_type,
                       std::string body) {
  Response res{status, version};
  if (!content_type.empty()) res.set(http::field::content_type, content_type);
  add_cors(res);
  res.body() = std::move(body);
  res.keep_alive(keep_alive);
  res.prepare_payload();
  return res;
}

Response plain(http::status status, unsigned version, bool keep_alive, std::string body) {
  return make_response(status, version, keep_alive, "text/plain; charset=utf-8", std::move(body));
}

Response preflight(unsigned version, bool keep_alive) {
  Response res = make_response(http::status::ok, version, keep_alive, "", "");
  res.set(http::field::access_control_allow_methods, "POST,GET");
  res.set(http::field::access_control_allow_headers, "*");
  return res;
}

// application/json, or application/<anything>+json, parameters allowed.
bool is_json_content_type(std::string_view value) {
  std::string t(value.substr(0, value.find(';')));
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.pop_back();
  size_t start = t.find_first_not_of(" \t");
  t = start == std::string::npos ? "" : t.substr(start);
  std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return std::tolower(c); });
  if (t.rfind("application/", 0) != 0) return false;
  std::string sub = t.substr(12);
  if (sub.empty() || sub.find('/') != std::string::npos) return false;
  return sub == "json" || (sub.size() > 5 && sub.ends_with("+json"));
}

std::string rpc_body(const Result<Json>& result) {
  std::string out = "{\"ok\":";
  if (result.ok()) {
    out += "true,\"data\":";
    json::write_to(out, result.value());
  } else {
    out += "false,\"error\":";
    json::write_to(out, Json(result.error()));
  }
  out += '}';
  return out;
}

enum class Route { Rpc, Ping, Events, None };

Route route_of(std::string_view target) {
  std::string_view path = target.substr(0, target.find('?'));
  if (path == "/rpc") return Route::Rpc;
  if (path == "/ping") return Route::Ping;
  if (path == "/events") return Route::Events;
  return Route::None;
}

// ---- /events -------------------------------------------------------------------

class EventStream : public std::enable_shared_from_this<EventStream> {
 public:
  EventStream(beast::tcp_stream&& stream, std::shared_ptr<ChangeBroadcast> broadcast)
      : stream_(std::move(stream)), timer_(stream_.get_executor()), broadcast_(std::move(broadcast)) {}

  void start() {
    std::weak_ptr<EventStream> weak = weak_from_this();
    subscription_ = broadcast_->subscribe([weak, ex = stream_.get_executor()] {
      net::post(ex, [weak] {
        if (auto self = weak.lock()) self->timer_.cancel();
      });
    });
    stream_.expires_never();
    out_ = "HTTP/1.1 200 OK\r\ncontent-type: text/event-stream\r\ncache-control: no-cache\r\n"
           "access-control-allow-origin: *\r\n"
           "vary: origin, access-control-request-method, access-control-request-headers\r\n"
           "transfer-encoding: chunked\r\n\r\n";
    watch_for_close();
    write();
  }

 private:
  // The client never sends anything; a read that ends means it went away.
  void watch_for_close() {
    stream_.async_read_some(net::buffer(scratch_), [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) self->close();
      else self->watch_for_close();
    });
  }

  void close() {
    closed_ = true;
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
    stream_.socket().close(ec);
    timer_.cancel();
  }

  static void append_chunk(std::string& out, std::string_view data) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    out += size;
    out += data;
    out += "\r\n";
  }

  void write() {
    net::async_write(stream_.socket(), net::buffer(out_), [self = shared_from_this()](beast::error_code ec, size_t) {
      self->out_.clear();
      if (ec || self->closed_) return self->close();
      self->deadline_ = std::chrono::steady_clock::now() + kKeepAlive;
      self->pump();
    });
  }

  // Sends what has arrived, or waits for a name or the keep-alive.
  void pump() {
    for (const std::string& name : subscription_->take()) append_chunk(out_, "data: " + name + "\n\n");
    if (!out_.empty()) return write();
    timer_.expires_at(deadline_);
    timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (self->closed_) return;
      if (!ec) append_chunk(self->out_, ":\n\n");  // 15 seconds of silence
      self->pump();
    });
  }

  beast::tcp_stream stream_;
  net::steady_timer timer_;
  std::shared_ptr<ChangeBroadcast> broadcast_;
  std::shared_ptr<ChangeBroadcast::Subscription> subscription_;
  std::string out_;
  std::chrono::steady_clock::time_point deadline_;
  std::array<char, 512> scratch_;
  bool closed_ = false;
};

// ---- one connection ----------------------------------------------------------------

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket&& socket, std::shared_ptr<ChangeBroadcast> broadcast)
      : stream_(std::move(socket)), broadcast_(std::move(broadcast)) {}

  void start() {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->read(); });
  }

 private:
  void read() {
    parser_.emplace();
    parser_->body_limit(boost::none);  // the limit applies once the header is in
    parser_->header_limit(64 * 1024);
    stream_.expires_never();
    // The header first, so that a refused body still has a header to answer.
    http::async_read_header(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->close();
      auto length = self->parser_->content_length();
      if (length && *length > kBodyLimit) return self->on_read(http::error::body_limit);
      self->parser_->body_limit(kBodyLimit);
      http::async_read(self->stream_, self->buffer_, *self->parser_,
                       [self](beast::error_code ec, size_t) { self->on_read(ec); });
    });
  }

  void on_read(beast::error_code ec) {
    if (ec == http::error::end_of_stream || !parser_->is_header_done()) return close();
    const auto& header = parser_->get();
    const unsigned version = header.version();
    const Route route = route_of(header.target());
    const bool rpc_call = route == Route::Rpc && header.method() == http::verb::post;
    if (ec) {
      // The body could not be read: answer, then let the client go.
      if (rpc_call && !is_json_content_type(header[http::field::content_type]))
        return send(plain(http::status::unsupported_media_type, version, false,
                          "Expected request with `Content-Type: application/json`"), true);
      if (ec == http::error::body_limit)
        return send(plain(http::status::payload_too_large, version, false,
                          "Failed to buffer the request body: length limit exceeded"), true);
      if (rpc_call)
        return send(plain(http::status::bad_request, version, false,
                          "Failed to buffer the request body: " + ec.message()), true);
      return close();
    }
    Request req = parser_->release();
    const bool keep_alive = req.keep_alive();
    if (req.method() == http::verb::options) return send(preflight(version, keep_alive));
    switch (route) {
      case Route::None: return send(make_response(http::status::not_found, version, keep_alive, "", ""));
      case Route::Ping:
        if (req.method() != http::verb::post) break;
        return send(make_response(http::status::ok, version, keep_alive, "application/json", "{\"ok\":true}"));
      case Route::Events:
        if (req.method() != http::verb::get) break;
        return std::make_shared<EventStream>(std::move(stream_), broadcast_)->start();
      case Route::Rpc:
        if (req.method() != http::verb::post) break;
        return rpc(std::move(req));
    }
    send(make_response(http::status::method_not_allowed, version, keep_alive, "", ""));
  }

  void rpc(Request req) {
    const unsigned version = req.version();
    const bool keep_alive = req.keep_alive();
    if (!is_json_content_type(req[http::field::content_type]))
      return send(plain(http::status::unsupported_media_type, version, keep_alive,
                        "Expected request with `Content-Type: application/json`"));
    auto read = json::read_envelope(req.body());
    if (auto* bad = std::get_if<json::EnvelopeError>(&read)) {
      if (bad->syntax)
        return send(plain(http::status::bad_request, version, keep_alive,
                          "Failed to parse the request body as JSON: " + bad->message));
      return send(plain(http::status::unprocessable_entity, version, keep_alive,
                        "Failed to deserialize the JSON body into the target type: " + bad->message));
    }
    auto call = std::make_shared<json::Envelope>(std::move(std::get<json::Envelope>(read)));
    if (answers_at_once(call->cmd)) return answer(*call, version, keep_alive);
    handler_pool().submit([self = shared_from_this(), call, version, keep_alive] {
      try {
        self->answer(*call, version, keep_alive);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "[Server] command %s failed: %s\n", call->cmd.c_str(), e.what());
        net::post(self->stream_.get_executor(), [self] { self->close(); });
      } catch (...) {
        std::fprintf(stderr, "[Server] command %s failed\n", call->cmd.c_str());
        net::post(self->stream_.get_executor(), [self] { self->close(); });
      }
    });
  }

  // Runs the command, announces a successful change, then writes the answer
  // on the session's strand.
  void answer(const json::Envelope& call, unsigned version, bool keep_alive) {
    const bool announce = is_write_command(call.cmd);
    Result<Json> result = dispatch_command(call.cmd, call.args, call.username, call.real_name);
    if (result.ok() && announce) broadcast_->send(call.cmd);
    auto res = std::make_shared<Response>(
        make_response(http::status::ok, version, keep_alive, "application/json", rpc_body(result)));
    net::dispatch(stream_.get_executor(), [self = shared_from_this(), res] { self->send(std::move(*res)); });
  }

  void send(Response res, bool drain = false) {
    auto owned = std::make_shared<Response>(std::move(res));
    const bool keep_alive = owned->keep_alive();
    http::async_write(stream_, *owned, [self = shared_from_this(), owned, keep_alive, drain](beast::error_code ec, size_t) {
      // A response that ends the connection completes with end_of_stream.
      if (ec && ec != http::error::end_of_stream) return self->close();
      if (drain) return self->drain();
      if (!keep_alive) return self->close();
      self->read();
    });
  }

  // After refusing a body that was not read: stop sending, read what the
  // client still sends (so that it sees our answer, not a reset), then close.
  void drain() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    stream_.expires_after(std::chrono::seconds(5));
    drain_buffer_ = std::make_shared<std::array<char, 16384>>();
    drain_more();
  }
  void drain_more() {
    stream_.async_read_some(net::buffer(*drain_buffer_), [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->close();
      self->drain_more();
    });
  }

  void close() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
    stream_.socket().close(ec);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::shared_ptr<ChangeBroadcast> broadcast_;
  std::shared_ptr<std::array<char, 16384>> drain_buffer_;
};

// ---- listening -------------------------------------------------------------------------

void accept(tcp::acceptor& acceptor, net::io_context& ioc, const std::shared_ptr<ChangeBroadcast>& broadcast) {
  acceptor.async_accept(net::make_strand(ioc), [&acceptor, &ioc, broadcast](beast::error_code ec, tcp::socket socket) {
    if (!ec) {
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      std::make_shared<HttpSession>(std::move(socket), broadcast)->start();
    }
    accept(acceptor, ioc, broadcast);
  });
}

// Ends the processes that hold the port, reporting each.
void free_port(uint16_t port) {
  for (int pid : port_listeners(port)) {
    kill_process(pid);
    console_line("[Server] Killed process PID: " + std::to_string(pid));
  }
}

void print_service_information(uint16_t port) {
  const std::string rule(35, '=');
  const std::string p = std::to_string(port);
  console_line("      HTTP 服务启动成功");
  console_line("");
  console_line(rule);
  console_line("  服务信息");
  console_line(rule);
  console_line("  端口:       " + p);
  console_line("  本机地址:   http://127.0.0.1:" + p);
  console_line("");
  console_line("  其他电脑请使用本机IP地址+" + p + "端口连接");
  for (const std::string& address : lan_ipv4_addresses())
    console_line("  -> IP地址: " + address + "    端口: " + p);
  console_line("");
  console_line("  按 Ctrl+C 停止服务");
  console_line(rule);
  console_line("");
}

}  // namespace

void start_server(uint16_t port) {
  ignore_broken_pipes();
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  net::io_context ioc(static_cast<int>(threads));

  auto broadcast = ChangeBroadcast::create(32);
  auto idle_subscription = broadcast->subscribe(nullptr);  // the channel always has a subscriber

  const tcp::endpoint endpoint(net::ip::address_v4::any(), port);
  tcp::acceptor acceptor(ioc);
  for (;;) {
    beast::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (!ec) break;
    beast::error_code ignored;
    acceptor.close(ignored);
    if (ec != net::error::address_in_use) {
      std::fprintf(stderr, "[Server] 无法监听 0.0.0.0:%u: %s\n", port, ec.message().c_str());
      std::exit(1);
    }
    console_line("[服务端] 端口 " + std::to_string(port) + " 被占用，正在释放...");
    free_port(port);
    std::this_thread::sleep_for(kBindRetry);
  }

  print_service_information(port);
  accept(acceptor, ioc, broadcast);

  std::vector<std::thread> workers;
  for (unsigned i = 1; i < threads; ++i) workers.emplace_back([&ioc] { ioc.run(); });
  ioc.run();
  for (auto& t : workers) t.join();
}
