// Loopback peers and a captured log for the data tests.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ferrynet/core/config.h"
#include "ferrynet/core/log.h"

namespace data_test {

inline int listen_loopback(uint16_t* port) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(s, 16);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return s;
}

inline int connect_loopback(uint16_t port) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// A port nobody listens on.
inline uint16_t closed_port() {
  uint16_t port;
  ::close(listen_loopback(&port));
  return port;
}

inline bool readable_within(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

// Everything until end of file, or what came before `ms` of silence.
inline std::string read_all(int fd, int ms = 10000) {
  std::string out;
  char buf[65536];
  while (readable_within(fd, ms)) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// Sends `data` in pieces of `chunk` bytes with a short pause between them, so
// the other side's reads end anywhere.
inline void send_in_pieces(int fd, const std::string& data, size_t chunk) {
  for (size_t pos = 0; pos < data.size(); pos += chunk) {
    size_t n = std::min(chunk, data.size() - pos);
    if (::send(fd, data.data() + pos, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) return;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// A listing line with its name at column 55.
inline std::string entry(const std::string& name, const char* end = "\r\n") {
  char head[64];
  std::snprintf(head, sizeof head, "-rw-r--r--   1 user     group    %8d Jan 01 12:00 ", 1234);
  return head + name + end;
}

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line + "\n");
  return out;
}

inline int open_descriptor_count() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// Routes the daemon's log into a file of its own for one test.
class LogCapture {
 public:
  LogCapture() {
    char tmpl[] = "/tmp/ferrynet-data-log-XXXXXX";
    int fd = mkstemp(tmpl);
    path_ = tmpl;
    ::close(fd);
    ferrynet::Config& cfg = ferrynet::config();
    cfg.log = "ept";
    cfg.detached = 1;
    cfg.logclean = 1;
    ferrynet::open_log(path_.c_str());
  }
  ~LogCapture() {
    ferrynet::close_log();
    ::unlink(path_.c_str());
  }
  // The messages, stamps removed.
  std::string text() const {
    std::ifstream in(path_);
    std::string out;
    for (std::string line; std::getline(in, line);) {
      size_t at = line.find("] ");
      out += (at == std::string::npos ? line : line.substr(at + 2)) + "\n";
    }
    return out;
  }
  bool wait_for(const std::string& piece, int ms = 10000) const {
    for (int waited = 0; waited < ms; waited += 20) {
      if (text().find(piece) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

 private:
  std::string path_;
};

}  // namespace data_test

namespace data_test {

// A site's data side: accepts one connection (PASV) or makes one (PORT),
// sends its listing in pieces, waits `linger_ms`, closes.
class ListingSite {
 public:
  enum Mode { kListen, kConnect };
  ListingSite(std::string listing, size_t piece, Mode mode = kListen, uint16_t connect_to = 0, int linger_ms = 0)
      : listing_(std::move(listing)), piece_(piece), linger_ms_(linger_ms) {
    if (mode == kListen) listen_fd_ = listen_loopback(&port_);
    thread_ = std::thread([this, mode, connect_to] { serve(mode, connect_to); });
  }
  ~ListingSite() {
    thread_.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
  }
  uint16_t port() const { return port_; }
  std::chrono::steady_clock::time_point closed_at() const { return closed_at_; }

 private:
  void serve(Mode mode, uint16_t connect_to) {
    int fd = -1;
    if (mode == kListen) {
      if (readable_within(listen_fd_, 10000)) fd = ::accept(listen_fd_, nullptr, nullptr);
    } else {
      fd = connect_loopback(connect_to);
    }
    if (fd < 0) return;
    send_in_pieces(fd, listing_, piece_);
    std::this_thread::sleep_for(std::chrono::milliseconds(linger_ms_));
    closed_at_ = std::chrono::steady_clock::now();
    ::close(fd);
  }

  std::string listing_;
  size_t piece_;
  int linger_ms_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::chrono::steady_clock::time_point closed_at_{};
  std::thread thread_;
};

// Three listings of `entries` names each, a third of them on every site,
// each led by a "total" line; `want` gets every line of the union once.
inline std::vector<std::string> three_listings(int entries, std::vector<std::string>& want) {
  std::vector<std::string> out(3);
  want.clear();
  for (int i = 0; i < entries; ++i) {
    std::string shared = entry("shared." + std::to_string(i));
    if (i % 3 == 0) want.push_back(shared);
    for (int s = 0; s < 3; ++s) {
      if (i % 3 == 0) {
        out[s] += shared;
      } else {
        out[s] += entry("site" + std::to_string(s) + "." + std::to_string(i));
        want.push_back(entry("site" + std::to_string(s) + "." + std::to_string(i)));
      }
    }
  }
  for (auto& listing : out) listing = "total " + std::to_string(entries) + "\r\n" + listing;
  return out;
}

}  // namespace data_test
