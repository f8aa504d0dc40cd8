#include "ferrynet/relay/relay_loop.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ferrynet/core/config.h"
#include "ferrynet/core/net.h"
#include "ferrynet/relay/command_table.h"
#include "ferrynet/session/presence.h"

namespace ferrynet {

namespace {

bool is_prefix_name(const char* name) {
  size_t n = std::strlen(name);
  return n > 0 && name[n - 1] == ' ';
}

bool name_matches(const char* name, std::string_view prefix_subject, const char* whole_subject) {
  const size_t n = std::strlen(name);
  if (is_prefix_name(name)) return prefix_subject.size() >= n && strncasecmp(prefix_subject.data(), name, n) == 0;
  return strcasecmp(whole_subject, name) == 0;
}

}  // namespace

const ClientCommandRow* match_command(std::string_view line, const char* last_command) {
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

constexpr const char kLineTooLong[] = "500 Command line too long.\r\n";

// Reads a reply code as "%d" would from the start of a line.
bool reply_code(std::string_view line, int* code) {
  size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || (line[i] >= '\t' && line[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  const size_t first = i;
  long v = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9' && v < 100000000) v = v * 10 + (line[i++] - '0');
  if (i == first) return false;
  *code = static_cast<int>(negative ? -v : v);
  return true;
}

class RelayLoop {
 public:
  explicit RelayLoop(Client& c) : c_(c), n_(config().sitecount), session_(c, st_, n_) {
    rb_ = std::make_unique<ReplyBuffer>();
    client_buf_ = std::make_unique<Slice>();
    st_.presence = new PresenceEntry();
    // The sites' greetings are the first replies owed.
    session_.await_every_site();
  }
  ~RelayLoop() { presence_unlink(st_.presence); }

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
  bool awaited(int i) const { return session_.awaits(i); }

  Client& c_;
  const int n_;
  RelayState st_;
  Session session_;
  std::unique_ptr<Slice> client_buf_;
  std::unique_ptr<ReplyBuffer> rb_;
  // After a handler answered and sent the sites a further command, the text in
  // the slices is not the whole reply: every awaited site must be read again.
  bool must_read_[kMaxSites] = {};
};

void RelayLoop::send_identity() {
  const Config& cfg = config();
  std::lock_guard<std::mutex> hold(c_.lock);
  if (!cfg.bouncemodedown || cfg.bouncemodedown->find('a') == std::string::npos) return;
  const char* user = c_.ident_user ? c_.ident_user->c_str() : "*";
  for (int i = 0; i < n_; ++i)
    session_.send_site_line(i, cfg.rftpdcompatible ? "IDNT %s@%s\n" : "AUTH %s@%s\n", user, c_.client_ip.c_str());
}

void RelayLoop::run() {
  send_identity();
  while (!c_.ended.load() && pass()) {
  }
}

bool RelayLoop::read_client() {
  const int r = client_buf_->append_read(c_.client_conn);
  if (r == Slice::kNothingYet) return true;
  if (r <= 0) return false;
  handle_client_input();
  // A full buffer without a line end can never become a command; waiting for
  // more bytes that cannot be stored would only hold the session open.
  return !client_buf_->full();
}

void RelayLoop::handle_client_input() {
  Slice& in = *client_buf_;
  int first = in.line_length();
  if (first > 0) {
    // Lines normally end in CR LF; one ending in a bare LF loses only the LF.
    int keep = first - 1;
    if (keep > 0 && in.data()[keep - 1] == '\r') --keep;
    if (keep > kDirField - 1) keep = kDirField - 1;
    std::memcpy(st_.last_command, in.data(), static_cast<size_t>(keep));
    st_.last_command[keep] = '\0';
  }
  session_.await_every_site();
  int len;
  while ((len = in.line_length()) > 0) {
    const std::string_view line = in.first_line();
    if (len > kSendLineMax) {
      // The line cannot go out whole; cut, it would reach a site without its
      // line end (the client then waits for ever) or as a different command.
      session_.reply(kLineTooLong);
      session_.await_no_site();
      in.drop_front(len);
      continue;
    }
    const ClientCommandRow* row = match_command(line, st_.last_command);
    if (row == nullptr || row->handler(session_, line) == CommandResult::kForward) {
      session_.relay_line(st_.current_site, line);
      session_.await_current_site();
    }
    in.drop_front(len);
  }
}

bool RelayLoop::read_sites(const bool* ready) {
  for (int i = 0; i < n_; ++i) {
    if (!ready[i]) continue;
    if (awaited(i)) {
      const int r = rb_->slice[i].append_read(c_.site_conn[i]);
      if (r <= 0 && r != Slice::kNothingYet) return false;
      continue;
    }
    // Text nobody asked for (a time-out notice, say): the current site's
    // belongs to the user, the other sites' would only confuse the client.
    char scratch[kSliceSize];
    long got = c_.site_conn[i].read_some(scratch, sizeof scratch, 0);
    if (got < 0 && errno == EAGAIN) continue;
    if (got <= 0) return false;
    if (i == st_.current_site) session_.reply(std::string_view(scratch, static_cast<size_t>(got)));
  }
  return true;
}

bool RelayLoop::awaited_complete() const {
  bool any = false;
  for (int i = 0; i < n_; ++i) {
    if (!awaited(i)) continue;
    any = true;
    if (!rb_->slice[i].ends_in_complete_reply()) return false;
  }
  return any;
}

bool RelayLoop::handle_site_replies() {
  ReplyBuffer& rb = *rb_;
  int len[kMaxSites];
  for (int i = 0; i < n_; ++i) len[i] = awaited(i) ? rb.slice[i].line_length() : -1;
  int chosen = awaited(st_.current_site) ? st_.current_site : -1;
  for (int i = 0; i < n_; ++i) {
    if (chosen < 0 && awaited(i)) chosen = i;
    if (awaited(i) && !rb.slice[i].empty() && rb.slice[i].data()[0] == '5') chosen = i;
  }
  if (chosen < 0) return true;
  for (;;) {
    bool forward = true;
    int code = 0;
    if (len[chosen] > 0 && reply_code(rb.slice[chosen].first_line(), &code)) {
      if (const ServerReplyRow* row = match_reply(code, st_.last_command)) {
        ReplyResult r = row->handler(session_, rb);
        if (r == ReplyResult::kAnswered) return false;
        if (r != ReplyResult::kForward) forward = false;
      }
    }
    if (forward && len[chosen] > 0) {
      // A handler may have rewritten the slice: measure the line again.
      std::string_view line = rb.slice[chosen].first_line();
      if (rb.slice[chosen].line_length() > 0)
        session_.reply_line("%.*s\n", static_cast<int>(line.size()), line.data());
    }
    bool more = false;
    for (int i = 0; i < n_; ++i) {
      if (!awaited(i) || len[i] <= 0) continue;
      Slice& slice = rb.slice[i];
      int l = slice.line_length();
      if (l <= 0) {
        len[i] = -1;
        continue;
      }
      bool final_line = is_final_line(slice.data(), l);
      slice.drop_front(l);
      len[i] = final_line ? -1 : slice.line_length();
      more = more || len[i] > 0;
    }
    if (!more) return true;
  }
}

bool RelayLoop::pass() {
  std::lock_guard<std::mutex> hold(c_.lock);
  Connection* conns[kMaxSites + 1];
  int site_of[kMaxSites + 1];
  int count = 0;
  conns[count] = &c_.client_conn;
  site_of[count++] = -1;
  for (int i = 0; i < n_; ++i) {
    // An awaited site whose reply is already complete is not read again
    // until that reply has been handled.
    if (awaited(i) && !must_read_[i] && rb_->slice[i].ends_in_complete_reply()) continue;
    conns[count] = &c_.site_conn[i];
    site_of[count++] = i;
  }
  bool ready[kMaxSites + 1] = {};
  int r = wait_any_readable(conns, count, kRelayWaitSeconds * 1000, ready);
  if (r < 0) return false;
  if (r == 0) return true;
  if (ready[0]) return read_client();
  bool site_ready[kMaxSites] = {};
  for (int k = 1; k < count; ++k) site_ready[site_of[k]] = ready[k];
  for (int i = 0; i < n_; ++i)
    if (site_ready[i] && awaited(i) && rb_->slice[i].text().substr(0, 3) == "226") {
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
  RelayLoop loop(c);
  loop.run();
}

}  // namespace ferrynet
