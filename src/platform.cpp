// Linux versions of the platform services: getifaddrs for the LAN addresses;
// /proc/net/tcp{,6} and /proc/<pid>/fd for the processes that listen on a port.
#include "platform.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

void console_line(std::string_view text) {
  std::string line(text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

std::vector<std::string> lan_ipv4_addresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    auto* in = reinterpret_cast<sockaddr_in*>(a->ifa_addr);
    if (!inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) continue;
    std::string address(text);
    if (address.empty() || address == "127.0.0.1") continue;
    out.push_back(address);
  }
  freeifaddrs(list);
  return out;
}

namespace {

// Socket inodes of the listening sockets on `port` in one /proc/net table.
void listening_inodes(const char* table, uint16_t port, std::set<unsigned long>& inodes) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
    unsigned long inode = 0;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode))
      continue;
    if (state != "0A") continue;  // TCP_LISTEN
    size_t colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    if (std::stoul(local.substr(colon + 1), nullptr, 16) != port) continue;
    if (inode != 0) inodes.insert(inode);
  }
}

}  // namespace

std::vector<int> port_listeners(uint16_t port) {
  std::set<unsigned long> inodes;
  listening_inodes("/proc/net/tcp", port, inodes);
  listening_inodes("/proc/net/tcp6", port, inodes);
  std::vector<int> pids;
  if (inodes.empty()) return pids;
  const int self = ::getpid();
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  while (dirent* e = readdir(proc)) {
    int pid = std::atoi(e->d_name);
    if (pid <= 1 || pid == self) continue;
    std::string fd_dir = "/proc/" + std::string(e->d_name) + "/fd";
    DIR* fds = opendir(fd_dir.c_str());
    if (!fds) continue;
    bool holds = false;
    while (dirent* f = readdir(fds)) {
      char target[64];
      std::string link = fd_dir + "/" + f->d_name;
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = 0;
      unsigned long inode;
      if (std::sscanf(target, "socket:[%lu]", &inode) == 1 && inodes.count(inode)) { holds = true; break; }
    }
    closedir(fds);
    if (holds) pids.push_back(pid);
  }
  closedir(proc);
  std::sort(pids.begin(), pids.end());
  return pids;
}

bool kill_process(int pid) { return pid > 1 && ::kill(pid, SIGKILL) == 0; }

void ignore_broken_pipes() { ::signal(SIGPIPE, SIG_IGN); }
