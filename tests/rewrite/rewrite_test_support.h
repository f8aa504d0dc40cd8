// Calls a reply merge the way the relay does and captures what the client
// receives: the client side is one end of a socketpair read by a thread.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ferrynet/core/limits.h"
#include "ferrynet/session/client.h"
#include "ferrynet/session/presence.h"
#include "ferrynet/session/handler_types.h"

namespace rewrite_test {

struct MergeRun {
  ferrynet::ReplyResult result = ferrynet::ReplyResult::kForward;
  std::string output;  // every byte the client received
  std::vector<std::string> lines;  // the output split after each LF
};

inline std::vector<std::string> split_lines(const std::string& s) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t lf = s.find('\n', pos);
    size_t end = lf == std::string::npos ? s.size() : lf + 1;
    out.push_back(s.substr(pos, end - pos));
    pos = end;
  }
  return out;
}

// The sites' replies and how many sites there are.
struct Replies : ferrynet::ReplyBuffer {
  int sites = 0;
};

// Fills the slices with the sites' texts (cut to what a slice holds).
inline void fill(Replies& rb, const std::vector<std::string>& sites) {
  rb = Replies();
  rb.sites = static_cast<int>(sites.size());
  for (size_t i = 0; i < sites.size() && i < ferrynet::kMaxSites; ++i) rb.slice[i].assign(sites[i]);
}

// Runs `handler` on `rb` as it stands; the slices are left as the handler left them.
inline MergeRun run_on(ferrynet::ReplyHandler handler, Replies& rb, int current_site = 0) {
  int sv[2];
  MergeRun run;
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return run;
  ferrynet::Client c;
  c.client_conn = ferrynet::Connection(ferrynet::Fd(sv[0]));
  std::thread reader([&run, fd = sv[1]] {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) run.output.append(buf, static_cast<size_t>(n));
  });
  ferrynet::RelayState st;
  st.current_site = current_site;
  c.site_count = rb.sites;
  for (int i = 0; i < rb.sites && i < ferrynet::kMaxSites; ++i) c.site_number[i] = i;
  ferrynet::Session s(c, st);
  run.result = handler(s, rb);
  c.client_conn.shutdown_write();
  reader.join();
  ::close(sv[1]);
  run.lines = split_lines(run.output);
  return run;
}

// A logged-in session of the daemon, linked while the object lives.
class LoggedIn {
 public:
  LoggedIn(int shown_site, std::vector<int> ids) : e_(new ferrynet::PresenceEntry()) {
    e_->shown_site = shown_site;
    for (size_t i = 0; i < ids.size() && i < ferrynet::kMaxSites; ++i) e_->session_ids[i] = ids[i];
    ferrynet::presence_insert(e_);
  }
  ~LoggedIn() { ferrynet::presence_unlink(e_); }
  LoggedIn(const LoggedIn&) = delete;
  LoggedIn& operator=(const LoggedIn&) = delete;

 private:
  ferrynet::PresenceEntry* e_;
};

inline std::string pad_to(std::string s, size_t width) {
  if (s.size() < width) s.resize(width, ' ');
  return s;
}

}  // namespace rewrite_test
