// The network server: the three HTTP routes (/rpc, /ping, /events) behind a
// permissive cross-origin layer, the change broadcast that turns successful
// data-changing commands into server-sent events, and the bind loop that
// frees a port held by another process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

// A bounded broadcast of command names. Every name sent reaches every
// subscription that existed when it was sent, in order; a subscription more
// than `capacity` names behind loses the oldest ones without notice. Sending
// never waits for a subscriber.
class ChangeBroadcast {
 public:
  class Subscription {
   public:
    ~Subscription();
    // The names not yet taken, oldest first.
    std::vector<std::string> take();

   private:
    friend class ChangeBroadcast;
    std::shared_ptr<ChangeBroadcast> owner_;
    uint64_t next_ = 0;
    std::function<void()> wake_;
  };

  static std::shared_ptr<ChangeBroadcast> create(size_t capacity);

  // `wake` is called (on the sender's thread) after each send.
  std::shared_ptr<Subscription> subscribe(std::function<void()> wake);
  void send(std::string name);

 private:
  explicit ChangeBroadcast(size_t capacity) : capacity_(capacity) {}
  std::weak_ptr<ChangeBroadcast> self_;
  std::mutex mutex_;
  size_t capacity_;
  uint64_t next_seq_ = 0;                    // sequence number of the next name
  std::deque<std::string> held_;             // the last `capacity_` names
  std::vector<Subscription*> subscribers_;
};

// The names of the commands whose success is announced.
bool is_write_command(std::string_view cmd);

// Binds 0.0.0.0:port (freeing it while another process holds it), prints the
// service information and serves until the process ends.
void start_server(uint16_t port);
