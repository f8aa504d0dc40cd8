#include "ferrynet/relay/relay_loop.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ferrynet/core/config.h"
#include "ferrynet/core/net.h"
#include "ferrynet/relay/slice.h"

namespace ferrynet {

int append_read(int fd, char* buffer, int size) {
  int len = static_cast<int>(strnlen(buffer, size));
  if (len >= size - 1) return -2;
  ssize_t n;
  do n = ::read(fd, buffer + len, size - 1 - len);
  while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  if (n == 0) return 0;
  return len + static_cast<int>(n);
}

bool slice_ends_in_complete_reply(const char* slice) {
  int len = slice_text_length(slice);
  if (len == 0 || slice[len - 1] != '\n') return false;
  int start = len - 1;
  while (start > 0 && slice[start - 1] != '\n') --start;
  return is_final_line(slice + start, len - start);
}

namespace {

bool is_prefix_name(const char* name) {
  size_t n = std::strlen(name);
  return n > 0 && name[n - 1] == ' ';
}

bool name_matches(const char* name, const char* prefix_subject, const char* whole_subject) {
  if (is_prefix_name(name)) return strncasecmp(prefix_subject, name, std::strlen(name)) == 0;
  return strcasecmp(whole_subject, name) == 0;
}

}  // namespace

const ClientCommandRow* match_command(const char* line, const char* last_command) {
  for (int i = 0; i < ClientCommandCount; ++i)
    if (name_matches(ClientCommandTable[i].name, line, last_command)) return &ClientCommandTable[i];
  return nullptr;
}

const ServerReplyRow* match_reply(int code, const char* last_command) {
  for (int i = 0; i < ServerReplyCount; ++i) {
    const ServerReplyRow& row = ServerReplyTable[i];
    if (row.code == code && name_matches(row.name, last_command, last_command)) return &row;
  }
  return nullptr;
}

namespace {

constexpr const char kLineTooLong[] = "500 Command line too long.\r";

class Session {
 public:
  explicit Session(Client& c) : c_(c), n_(config().sitecount) {
    rb_ = std::make_unique<ReplyBuffer>();
    rb_->sites = n_;
    st_.presence = new PresenceEntry();
  }
  ~Session() { presence_unlink(st_.presence); }

  void run();

 private:
  void send_identity();
  bool pass();
  bool read_client();
  void handle_client_input();
  bool read_sites(const bool* ready);
  bool awaited_complete() const;
  // Returns false when a handler answered and more text is due from the sites.
  bool handle_site_replies();
  bool awaited(int i) const { return st_.no_reply[i] == 0; }

  Client& c_;
  const int n_;
  RelayState st_;
  char client_buf_[kSliceSize] = {};
  std::unique_ptr<ReplyBuffer> rb_;
  // After a handler answered and sent the sites a further command, the text in
  // the slices is not the whole reply: every awaited site must be read again.
  bool must_read_[kMaxSites] = {};
};

void Session::send_identity() {
  const Config& cfg = config();
  std::lock_guard<std::mutex> hold(c_.lock);
  if (!cfg.bouncemodedown || cfg.bouncemodedown->find('a') == std::string::npos) return;
  const char* user = c_.ident_user ? c_.ident_user->c_str() : "*";
  for (int i = 0; i < n_; ++i)
    send_line(c_.site_fd[i].get(), cfg.rftpdcompatible ? "IDNT %s@%s\n" : "AUTH %s@%s\n", user, c_.client_ip.c_str());
}

void Session::run() {
  send_identity();
  while (!c_.ended.load() && pass()) {
  }
}

bool Session::read_client() {
  int r = append_read(c_.client_fd.get(), client_buf_, kSliceSize);
  if (r <= 0) return false;
  handle_client_input();
  // A full buffer without a line end can never become a command; waiting for
  // more bytes that cannot be stored would only hold the session open.
  return slice_text_length(client_buf_) < kSliceSize - 1;
}

void Session::handle_client_input() {
  int first = line_length(client_buf_, kSliceSize);
  if (first > 0) {
    // Lines normally end in CR LF; one ending in a bare LF loses only the LF.
    int keep = first - 1;
    if (keep > 0 && client_buf_[keep - 1] == '\r') --keep;
    if (keep > kDirField - 1) keep = kDirField - 1;
    std::memcpy(st_.last_command, client_buf_, keep);
    st_.last_command[keep] = '\0';
  }
  for (int i = 0; i < n_; ++i) st_.no_reply[i] = 0;
  int len;
  while ((len = line_length(client_buf_, kSliceSize)) > 0) {
    client_buf_[len - 1] = '\0';
    if (len > kSendLineMax) {
      // The line cannot go out whole; cut, it would reach a site without its
      // line end (the client then waits for ever) or as a different command.
      send_line(c_.client_fd.get(), "%s\n", kLineTooLong);
      for (int i = 0; i < n_; ++i) st_.no_reply[i] = 1;
      slice_drop(client_buf_, len);
      continue;
    }
    const ClientCommandRow* row = match_command(client_buf_, st_.last_command);
    if (row == nullptr || row->handler(c_, client_buf_, st_) == kCommandForward) {
      send_line(c_.site_fd[st_.current_site].get(), "%s\n", client_buf_);
      for (int i = 0; i < n_; ++i) st_.no_reply[i] = 1;
      st_.no_reply[st_.current_site] = 0;
    }
    slice_drop(client_buf_, len);
  }
}

bool Session::read_sites(const bool* ready) {
  for (int i = 0; i < n_; ++i) {
    if (!ready[i]) continue;
    char* slice = rb_->slice[i];
    if (awaited(i)) {
      if (append_read(c_.site_fd[i].get(), slice, kSliceSize) <= 0) return false;
      continue;
    }
    // Text nobody asked for (a time-out notice, say): the current site's
    // belongs to the user, the other sites' would only confuse the client.
    char scratch[kSliceSize];
    ssize_t got;
    do got = ::read(c_.site_fd[i].get(), scratch, sizeof scratch);
    while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    if (i == st_.current_site) send_all(c_.client_fd.get(), scratch, static_cast<size_t>(got));
  }
  return true;
}

bool Session::awaited_complete() const {
  bool any = false;
  for (int i = 0; i < n_; ++i) {
    if (!awaited(i)) continue;
    any = true;
    if (!slice_ends_in_complete_reply(rb_->slice[i])) return false;
  }
  return any;
}

bool Session::handle_site_replies() {
  ReplyBuffer& rb = *rb_;
  int len[kMaxSites];
  for (int i = 0; i < n_; ++i) len[i] = awaited(i) ? slice_line_length(rb.slice[i]) : -1;
  int chosen = awaited(st_.current_site) ? st_.current_site : -1;
  for (int i = 0; i < n_; ++i) {
    if (chosen < 0 && awaited(i)) chosen = i;
    if (awaited(i) && rb.slice[i][0] == '5') chosen = i;
  }
  if (chosen < 0) return true;
  for (;;) {
    bool forward = true;
    int code = 0;
    if (len[chosen] > 0 && std::sscanf(rb.slice[chosen], "%d", &code) == 1) {
      if (const ServerReplyRow* row = match_reply(code, st_.last_command)) {
        int r = row->handler(c_, rb, st_);
        if (r == kReplyAnswered) return false;
        if (r != kReplyForward) forward = false;
      }
    }
    if (forward && len[chosen] > 0) {
      // A handler may have rewritten the slice: measure the line again.
      int l = slice_line_length(rb.slice[chosen]);
      if (l > 0) {
        rb.slice[chosen][l - 1] = '\0';
        send_line(c_.client_fd.get(), "%s\n", rb.slice[chosen]);
        rb.slice[chosen][l - 1] = '\n';
      }
    }
    bool more = false;
    for (int i = 0; i < n_; ++i) {
      if (!awaited(i) || len[i] <= 0) continue;
      char* slice = rb.slice[i];
      int l = slice_line_length(slice);
      if (l <= 0) {
        len[i] = -1;
        continue;
      }
      bool final_line = is_final_line(slice, l);
      slice_drop(slice, l);
      len[i] = final_line ? -1 : slice_line_length(slice);
      more = more || len[i] > 0;
    }
    if (!more) return true;
  }
}

bool Session::pass() {
  std::lock_guard<std::mutex> hold(c_.lock);
  int fds[kMaxSites + 1];
  int site_of[kMaxSites + 1];
  int count = 0;
  fds[count] = c_.client_fd.get();
  site_of[count++] = -1;
  for (int i = 0; i < n_; ++i) {
    // An awaited site whose reply is already complete is not read again
    // until that reply has been handled.
    if (awaited(i) && !must_read_[i] && slice_ends_in_complete_reply(rb_->slice[i])) continue;
    fds[count] = c_.site_fd[i].get();
    site_of[count++] = i;
  }
  bool ready[kMaxSites + 1] = {};
  int r = wait_any_readable(fds, count, kRelayWaitSeconds * 1000, ready);
  if (r < 0) return false;
  if (r == 0) return true;
  if (ready[0]) return read_client();
  bool site_ready[kMaxSites] = {};
  for (int k = 1; k < count; ++k) site_ready[site_of[k]] = ready[k];
  for (int i = 0; i < n_; ++i)
    if (site_ready[i] && awaited(i) && std::strncmp(rb_->slice[i], "226", 3) == 0) {
      std::printf("FUCK IT HAPPEND !!!\n");
      std::fflush(stdout);
    }
  if (!read_sites(site_ready)) return false;
  for (int i = 0; i < n_; ++i)
    if (site_ready[i]) must_read_[i] = false;
  for (int i = 0; i < n_; ++i)
    if (awaited(i) && must_read_[i]) return true;
  // Replies that arrived together (150 and 226 of one transfer) are handled
  // in this same pass; the client must not wait for them.
  while (awaited_complete()) {
    if (!handle_site_replies()) {
      for (int i = 0; i < n_; ++i) must_read_[i] = awaited(i);
      break;
    }
  }
  return true;
}

}  // namespace

void relay_loop(Client& c) {
  Session s(c);
  s.run();
}

}  // namespace ferrynet
