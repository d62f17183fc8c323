// What the server needs of the operating system, in one place: console
// lines, the machine's LAN addresses, and ending the processes that listen on
// a port.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Writes one line (UTF-8) and a line feed to standard output, flushed.
void console_line(std::string_view text);

// The IPv4 addresses of the machine's interfaces, in interface order; the
// loopback address is left out.
std::vector<std::string> lan_ipv4_addresses();

// The processes that listen on exactly this local TCP port (IPv4 or IPv6),
// never this process, nor process 0 or 1; each once.
std::vector<int> port_listeners(uint16_t port);

// Ends a process at once; true when the signal could be sent.
bool kill_process(int pid);

// Writes to a closed connection must not end the process.
void ignore_broken_pipes();
