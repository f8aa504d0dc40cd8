#include "ferrynet/relay/relay_loop.h"

#include <strings.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "ferrynet/core/config.h"
#include "ferrynet/core/log.h"
#include "ferrynet/core/metrics.h"
#include "ferrynet/core/tls_setup.h"
#include "ferrynet/core/net.h"
#include "ferrynet/relay/command_table.h"
#include "ferrynet/session/admission.h"
#include "ferrynet/session/presence.h"
#include "ferrynet/session/site_health.h"

namespace ferrynet {

namespace {

bool is_prefix_name(const char* name) {
  size_t n = std::strlen(name);
  return n > 0 && name[n - 1] == ' ';
}

bool name_matches(const char* name, std::string_view subject) {
  const size_t n = std::strlen(name);
  if (is_prefix_name(name)) return subject.size() >= n && strncasecmp(subject.data(), name, n) == 0;
  return subject.size() == n && strncasecmp(subject.data(), name, n) == 0;
}

}  // namespace

const ClientCommandRow* match_command(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  for (int i = 0; i < ClientCommandCount; ++i)
    if (name_matches(ClientCommandTable[i].name, line)) return &ClientCommandTable[i];
  return nullptr;
}

const ServerReplyRow* match_reply(int code, const char* last_command) {
  for (int i = 0; i < ServerReplyCount; ++i) {
    const ServerReplyRow& row = ServerReplyTable[i];
    if (row.code == code && name_matches(row.name, last_command)) return &row;
  }
  return nullptr;
}

namespace {

constexpr const char kLineTooLong[] = "500 Command line too long.\r\n";
constexpr const char kLineWithNul[] = "500 Command line holds a NUL byte.\r\n";
using Clock = std::chrono::steady_clock;

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

// The transfer a command starts, counted by its final reply; -1: none.
int transfer_kind(const char* command) {
  static constexpr struct {
    const char* name;
    Direction direction;
  } kRows[] = {{"RETR", Direction::kDown}, {"STOR", Direction::kUp}, {"APPE", Direction::kUp},
               {"STOU", Direction::kUp},   {"LIST", Direction::kList}, {"NLST", Direction::kList},
               {"MLSD", Direction::kList}};
  for (const auto& row : kRows)
    if (strncasecmp(command, row.name, 4) == 0 && (command[4] == '\0' || command[4] == ' '))
      return static_cast<int>(row.direction);
  return -1;
}

// A 1xx line only announces the reply that completes the command.
bool is_preliminary(std::string_view line) { return !line.empty() && line[0] == '1'; }

// ABOR and STAT are sent while a transfer runs; a client aborting a download
// must not wait for it to end. Telnet interrupt bytes may lead the line.
bool goes_at_once(std::string_view line) {
  while (!line.empty() && static_cast<unsigned char>(line.front()) >= 0x80) line.remove_prefix(1);
  return (line.size() >= 4 && (strncasecmp(line.data(), "ABOR", 4) == 0 || strncasecmp(line.data(), "STAT", 4) == 0)) &&
         (line.size() == 4 || line[4] == '\r' || line[4] == ' ');
}

class RelayLoop {
 public:
  explicit RelayLoop(Client& c) : c_(c), n_(c.site_count), session_(c, st_) {
    rb_ = std::make_unique<ReplyBuffer>();
    client_buf_ = std::make_unique<Slice>();
    st_.presence = new PresenceEntry();
    // The sites' greetings are the first replies owed.
    session_.await_every_site();
    start_command();
    // A greeting answers no command: it is not timed.
    for (bool& t : reply_timed_) t = false;
  }
  ~RelayLoop() {
    session_.end_transfers();
    presence_unlink(st_.presence);
  }

  void run();

 private:
  bool identity_wanted() const;
  // The greeting of site i, the identity line sent and its answer used up.
  bool greet_after_identity(int i, std::string& greeting, int limit);
  // Every site's greeting read before the relay starts; false ends the session.
  bool greet_sites();
  // AUTH TLS on every site before the client sees a greeting; false ends the session.
  bool secure_sites();
  bool pass();
  bool read_client();
  bool read_site(int i);
  // The client's lines, one at a time, each once the reply before it is through.
  void handle_client_lines();
  void handle_client_line(std::string_view line);
  // Reply rounds while every pending site has a whole reply; false when the session must end.
  void handle_replies();
  bool round_ready() const;
  void reply_round();
  void pass_line(std::string_view line);
  void pass_unasked(int i, std::string_view text);
  // Text a site sent after the reply it owed (an ABOR's answer behind the
  // transfer's) must not become the next command's reply.
  void hand_over_leftovers();
  bool try_next_site(int from);
  // The site's answer to a REST sent before a held transfer command: true
  // when it accepted and the command has gone; false when there was none
  // yet, or a refusal that is now the reply.
  bool restart_answered();
  // New command: every awaited site owes a reply again.
  void start_command();
  bool pending(int i) const { return session_.awaits(i) && !finished_[i]; }
  bool any_pending() const;
  // An awaited site still owes text within the time limit. One whose reply is
  // whole in its slice waits only for the others, and is not the one to blame.
  bool silent(int i) const {
    return pending(i) && timed_[i] && (must_read_[i] || !rb_->slice[i].ends_in_complete_reply());
  }
  void arm(int i) { deadline_[i] = Clock::now() + std::chrono::seconds(reply_seconds_); }
  int wait_limit_ms() const;
  bool overdue();
  // The counts of what the session saw (nothing when none are kept).
  void time_replies_from_now();
  void count_reply(int i);
  void count_final(int i, std::string_view line, bool chosen);
  // With `sitedown degrade` the session goes on without slot `i` unless the
  // client stands in its section; false: the session ends. Either way the
  // site is marked down.
  bool lose_site(int i, const char* reason);
  // Shifts the slots after `i` down over it and closes its connection.
  void remove_slot(int i);
  // A whole reply proves the site alive: the first one marks it up.
  void note_alive(int i);
  bool quitting() const;
  SiteHealth* health() const { return c_.services ? c_.services->health : nullptr; }

  Client& c_;
  int n_;
  RelayState st_;
  Session session_;
  std::unique_ptr<Slice> client_buf_;
  std::unique_ptr<ReplyBuffer> rb_;
  // The site's reply to the current command has ended in a final line that is not 1xx.
  bool finished_[kMaxSites] = {};
  // The client has had the final reply to the current command; later text of
  // other sites for it is used up without being shown.
  bool answered_ = false;
  // After a handler sent the sites a further command, the text in the slices
  // is not the whole reply: every awaited site must be read again.
  bool must_read_[kMaxSites] = {};
  // When a silent awaited site is given up; none while a transfer runs.
  Clock::time_point deadline_[kMaxSites];
  bool timed_[kMaxSites] = {};
  bool client_closed_ = false;
  // Where the last ABOR or STAT went: its reply reaches the client whichever site it is.
  int at_once_site_ = -1;
  bool site_closed_ = false;
  // The site has sent a whole reply in this session.
  bool greeted_[kMaxSites] = {};
  // A transfer on the site has begun (its 1xx passed) for the current command.
  bool began_[kMaxSites] = {};
  const int reply_seconds_ = static_cast<int>(config().replytimeout > 86400 ? 86400 : config().replytimeout);
  Metrics* const metrics_ = metrics_of(c_);
  // When each awaited site was sent the command whose reply is being timed.
  Clock::time_point sent_at_[kMaxSites];
  bool reply_timed_[kMaxSites] = {};
};

void RelayLoop::time_replies_from_now() {
  if (!metrics_) return;
  const Clock::time_point now = Clock::now();
  for (int i = 0; i < n_; ++i) {
    reply_timed_[i] = pending(i);
    sent_at_[i] = now;
  }
}

void RelayLoop::count_reply(int i) {
  if (!reply_timed_[i] || !rb_->slice[i].ends_in_complete_reply()) return;
  reply_timed_[i] = false;
  metrics_->site_replied(session_.site_number(i), Clock::now() - sent_at_[i]);
}

void RelayLoop::count_final(int i, std::string_view line, bool chosen) {
  if (!metrics_) return;
  int code = 0;
  if (!reply_code(line, &code)) return;
  const int kind = transfer_kind(st_.last_command);
  if (kind >= 0) metrics_->transfer(session_.site_number(i), static_cast<Direction>(kind), code >= 200 && code < 300);
  // The client hears the chosen site's answer to its login: that is the login's outcome.
  if (chosen && std::strcmp(st_.last_command, "||PASS") == 0) metrics_->login(true);
  if (chosen && strncasecmp(st_.last_command, "PASS ", 5) == 0 && code != 230) metrics_->login(false);
}

void RelayLoop::start_command() {
  answered_ = false;
  at_once_site_ = -1;
  for (int i = 0; i < n_; ++i) {
    finished_[i] = false;
    must_read_[i] = false;
    began_[i] = false;
    timed_[i] = reply_seconds_ > 0 && session_.awaits(i);
    if (timed_[i]) arm(i);
  }
  time_replies_from_now();
}

bool RelayLoop::any_pending() const {
  for (int i = 0; i < n_; ++i)
    if (pending(i)) return true;
  return false;
}

// One whole reply of a site, read before the relay starts, within `limit_s`.
bool read_site_reply(Connection& site, std::string& text, int limit_s) {
  char line[kSliceSize];
  for (;;) {
    const int n = site.read_line(line, static_cast<int>(sizeof line) - 1, limit_s);
    if (n <= 0) return false;
    text.append(line, static_cast<size_t>(n));
    if (is_final_line(line, n) && line[0] != '1') return true;
  }
}

bool RelayLoop::identity_wanted() const {
  const Config& cfg = config();
  return cfg.bouncemodedown && cfg.bouncemodedown->find('a') != std::string::npos;
}

// Sites that want the identity line take it silently; stock servers answer
// it after their greeting (vsftpd: 530), and that answer would become the
// reply to the client's first command. A NOOP behind it marks where the
// answers end: a 2xx first is the NOOP's own, anything else answers the
// identity line and the NOOP's follows.
bool RelayLoop::greet_after_identity(int i, std::string& greeting, int limit) {
  const Config& cfg = config();
  Connection& site = c_.site_conn[i];
  const char* user = c_.ident_user ? c_.ident_user->c_str() : "*";
  // The identity line stays the first line a site receives.
  session_.send_site_line(i, cfg.rftpdcompatible ? "IDNT %s@%s\r\n" : "AUTH %s@%s\r\n", user, c_.client_ip.c_str());
  if (!session_.send_site(i, "NOOP\r\n") || !read_site_reply(site, greeting, limit)) return false;
  // A site that turns the client away closes; nothing more to wait for.
  if (greeting[0] != '2') return true;
  std::string answer;
  if (!read_site_reply(site, answer, limit)) return false;
  if (answer[0] == '2') return true;
  log_line('r', "site %d answered the identity line: %.*s\n", i + 1,
           static_cast<int>(answer.find_first_of("\r\n")), answer.c_str());
  answer.clear();
  return read_site_reply(site, answer, limit);
}

bool RelayLoop::greet_sites() {
  if (!identity_wanted()) return true;
  const int limit = reply_seconds_ > 0 ? reply_seconds_ : kTlsHandshakeSeconds;
  for (int i = 0; i < n_; ++i) {
    const int number = session_.site_number(i) + 1;
    std::string greeting;
    if (!greet_after_identity(i, greeting, limit)) {
      log_line('e', "site %d did not greet %s\n", number, c_.client_ip.c_str());
      if (lose_site(i, "did not greet")) {
        --i;  // the next site now holds this slot
        continue;
      }
      session_.reply_line("421 Site %d is unreachable, try again later.\r\n", number);
      return false;
    }
    note_alive(i);
    rb_->slice[i].assign(greeting);
  }
  return true;
}

bool RelayLoop::secure_sites() {
  const std::shared_ptr<const TlsContext>& ctx = tls_contexts().for_sites;
  const int limit = reply_seconds_ > 0 ? reply_seconds_ : kTlsHandshakeSeconds;
  for (int i = 0; i < n_; ++i) {
    Connection& site = c_.site_conn[i];
    const int number = session_.site_number(i) + 1;
    std::string greeting, answer, why;
    bool ok = ctx && (identity_wanted() ? greet_after_identity(i, greeting, limit)
                                        : read_site_reply(site, greeting, limit));
    if (ok) note_alive(i);
    if (ok && greeting[0] != '2') {
      // A site that turns the client away says so in its own words.
      rb_->slice[i].assign(greeting);
      continue;
    }
    if (ok) ok = session_.send_site(i, "AUTH TLS\r\n") && read_site_reply(site, answer, limit);
    if (ok && answer.compare(0, 3, "234") != 0) {
      why = "AUTH TLS answered " + answer.substr(0, answer.find_first_of("\r\n"));
      ok = false;
    }
    if (ok) {
      c_.site_tls[i] = std::make_shared<TlsSessionStore>();
      ok = site.start_tls(*ctx, kTlsHandshakeSeconds * 1000, c_.site_tls[i], &why, c_.site_tls_name[i]) ==
           TlsResult::ok;
      if (metrics_) metrics_->tls_handshake(TlsLeg::kSite, ok);
    }
    for (const char* step : {"PBSZ 0\r\n", "PROT P\r\n"}) {
      answer.clear();
      if (ok) ok = session_.send_site(i, step) && read_site_reply(site, answer, limit) && answer[0] == '2';
      if (!ok && why.empty() && !answer.empty())
        why = std::string(step, 4) + " answered " + answer.substr(0, answer.find_first_of("\r\n"));
    }
    if (!ok) {
      if (why.empty()) why = "no answer";
      log_line('e', "site %d refused TLS for %s (%s)\n", number, c_.client_ip.c_str(), why.c_str());
      const std::string reason = "refused TLS (" + why + ")";
      if (lose_site(i, reason.c_str())) {
        --i;  // the next site now holds this slot
        continue;
      }
      session_.reply_line("421 Site %d refused a protected connection, closing.\r\n", number);
      return false;
    }
    rb_->slice[i].assign(greeting);
  }
  return true;
}

void RelayLoop::run() {
  // The client's handshake came before the sites were contacted; its data
  // is protected by default, as the connection is.
  if (config().clienttls == kClientTlsImplicit) st_.client_prot_private = true;
  if (config().sitetls) {
    if (!secure_sites()) return;
  } else if (!greet_sites()) {
    return;
  }
  while (!c_.ended.load() && !c_.login_expired.load() && pass()) {
  }
}

bool RelayLoop::read_client() {
  const int r = client_buf_->append_read(c_.client_conn);
  if (r == Slice::kNothingYet) return true;
  if (r == 0) {
    // A client that half-closes after its command still gets the reply.
    client_closed_ = true;
    return true;
  }
  if (r < 0) return false;
  // A full buffer without a line end can never become a command; waiting for
  // more bytes that cannot be stored would only hold the session open.
  return !(client_buf_->full() && client_buf_->line_length() < 0);
}

bool RelayLoop::read_site(int i) {
  if (pending(i)) {
    const int r = rb_->slice[i].append_read(c_.site_conn[i]);
    if (r == Slice::kNothingYet) return true;
    if (r <= 0) return false;
    must_read_[i] = false;
    if (timed_[i]) arm(i);
    if (!greeted_[i] && rb_->slice[i].ends_in_complete_reply()) note_alive(i);
    if (metrics_) count_reply(i);
    return true;
  }
  // Text nobody asked for, a time-out notice say.
  char scratch[kSliceSize];
  long got = c_.site_conn[i].read_some(scratch, sizeof scratch, 0);
  if (got < 0 && errno == EAGAIN) return true;
  if (got <= 0) return false;
  pass_unasked(i, std::string_view(scratch, static_cast<size_t>(got)));
  return true;
}

void RelayLoop::pass_unasked(int i, std::string_view text) {
  // The current site's text belongs to the user, the other sites' would only confuse the client.
  if (i != st_.current_site && i != at_once_site_) return;
  while (!text.empty()) {
    const size_t lf = text.find('\n');
    if (lf == std::string_view::npos) {
      session_.reply(text);
      return;
    }
    pass_line(text.substr(0, lf + 1));
    text.remove_prefix(lf + 1);
  }
}

void RelayLoop::hand_over_leftovers() {
  for (int i = 0; i < n_; ++i) {
    Slice& slice = rb_->slice[i];
    if (pending(i) || slice.empty()) continue;
    pass_unasked(i, slice.text());
    slice.clear();
  }
}

void RelayLoop::handle_client_lines() {
  Slice& in = *client_buf_;
  while (!st_.client_tls_failed) {
    const int len = in.line_length();
    if (len <= 0) return;
    const std::string_view line = in.first_line();
    if (any_pending()) {
      if (!goes_at_once(line)) return;
      // It belongs to the site the transfer runs on: at the root that may
      // not be the current one. Its reply follows the transfer's.
      int target = st_.current_site;
      for (int i = 0; i < n_ && !pending(target); ++i)
        if (pending(i)) target = i;
      session_.relay_line(target, line);
      at_once_site_ = target;
      in.drop_front(len);
      continue;
    }
    handle_client_line(line);
    in.drop_front(len);
    if (st_.discard_client_input) {
      in.clear();
      st_.discard_client_input = false;
    }
  }
}

void RelayLoop::handle_client_line(std::string_view line) {
  // Lines normally end in CR LF; one ending in a bare LF loses only the LF.
  size_t keep = line.size();
  if (keep > 0 && line[keep - 1] == '\r') --keep;
  if (keep > kDirField - 1) keep = kDirField - 1;
  std::memcpy(st_.last_command, line.data(), keep);
  st_.last_command[keep] = '\0';
  st_.fallthrough_next = -1;
  st_.fallthrough_missing = -1;
  st_.fallthrough_rest.clear();
  st_.restart_site = -1;
  st_.after_restart.clear();
  st_.decide_on_preliminary = false;
  st_.current_site_answers = false;
  session_.await_every_site();
  // Before the command leaves: the bounce may end before this thread runs again.
  if (const int kind = transfer_kind(st_.last_command); kind >= 0 && st_.transfer)
    st_.transfer->note_command(static_cast<Direction>(kind), Clock::now());
  if (line.size() + 1 > static_cast<size_t>(kSendLineMax)) {
    // The line cannot go out whole; cut, it would reach a site without its
    // line end (the client then waits for ever) or as a different command.
    session_.reply(kLineTooLong);
    session_.await_no_site();
  } else if (std::memchr(line.data(), '\0', line.size()) != nullptr) {
    // What follows a NUL would reach a site spliced onto other bytes.
    session_.reply(kLineWithNul);
    session_.await_no_site();
  } else {
    const ClientCommandRow* row = match_command(line);
    if (row == nullptr || row->handler(session_, line) == CommandResult::kForward) {
      session_.relay_line(st_.current_site, line);
      session_.await_current_site();
    }
  }
  start_command();
}

bool RelayLoop::round_ready() const {
  bool any = false;
  for (int i = 0; i < n_; ++i) {
    if (!pending(i)) continue;
    if (must_read_[i] || !rb_->slice[i].ends_in_complete_reply()) return false;
    any = true;
  }
  return any;
}

void RelayLoop::pass_line(std::string_view line) {
  // Passed on whole, however long; a NUL ends the text, not the line.
  const void* nul = std::memchr(line.data(), '\0', line.size());
  if (nul == nullptr) {
    session_.reply(line);
    return;
  }
  std::string cut(line.data(), static_cast<size_t>(static_cast<const char*>(nul) - line.data()));
  cut += line.size() >= 2 && line[line.size() - 2] == '\r' ? "\r\n" : "\n";
  session_.reply(cut);
}

bool RelayLoop::try_next_site(int from) {
  if (answered_ || st_.fallthrough_next < 0 || st_.fallthrough_next >= n_) return false;
  const int next = st_.fallthrough_next++;
  if (st_.fallthrough_next >= n_) st_.fallthrough_next = -1;
  rb_->slice[from].clear();
  finished_[from] = true;
  if (!st_.fallthrough_rest.empty()) {
    session_.relay_line(next, st_.fallthrough_rest);
    st_.restart_site = next;
    st_.after_restart = st_.fallthrough_line;
  } else {
    session_.relay_line(next, st_.fallthrough_line);
  }
  session_.await_only(next);
  finished_[next] = false;
  rb_->slice[next].clear();
  timed_[next] = reply_seconds_ > 0;
  if (timed_[next]) arm(next);
  time_replies_from_now();
  return true;
}

bool RelayLoop::restart_answered() {
  const int r = st_.restart_site;
  if (r < 0 || r >= n_ || !pending(r) || must_read_[r]) return false;
  Slice& slice = rb_->slice[r];
  if (!slice.ends_in_complete_reply()) return false;
  st_.restart_site = -1;
  int code = 0;
  if (!reply_code(slice.first_line(), &code) || code != 350) {
    // The client hears the refusal as the answer to its transfer command,
    // which is never sent; no other site is tried with the offset.
    st_.after_restart.clear();
    st_.fallthrough_next = -1;
    st_.decide_on_preliminary = false;
    return false;
  }
  // The daemon answered the REST itself: the site's 350 goes no further.
  for (int l = slice.line_length(); l > 0; l = slice.line_length()) {
    const bool final_line = is_final_line(slice.data(), l);
    slice.drop_front(l);
    if (final_line) break;
  }
  session_.relay_line(r, st_.after_restart);
  st_.after_restart.clear();
  if (timed_[r]) arm(r);
  return true;
}

void RelayLoop::reply_round() {
  ReplyBuffer& rb = *rb_;
  if (restart_answered()) return;
  if (!round_ready()) return;
  int len[kMaxSites];
  for (int i = 0; i < n_; ++i) len[i] = pending(i) ? rb.slice[i].line_length() : -1;
  int chosen = pending(st_.current_site) ? st_.current_site : -1;
  for (int i = 0; i < n_; ++i) {
    if (chosen < 0 && pending(i)) chosen = i;
    if (pending(i) && !rb.slice[i].empty() && rb.slice[i].data()[0] == '5' && !st_.current_site_answers) chosen = i;
  }
  if (chosen < 0) return;
  for (;;) {
    bool forward = !answered_;
    bool handled = false;
    int code = 0;
    const std::string_view first = rb.slice[chosen].first_line();
    const bool have_line = len[chosen] > 0 && rb.slice[chosen].line_length() > 0;
    // 554 after a REST: the site holds the file but not that offset, and
    // another site's copy is not the one the client resumes.
    if (have_line && forward && is_final_line(first.data(), static_cast<int>(first.size()) + 1) &&
        reply_code(first, &code) && code >= 400 && !(code == 554 && !st_.fallthrough_rest.empty()) &&
        try_next_site(chosen))
      return;
    if (have_line && forward && code == 550 && st_.fallthrough_missing >= 0 && st_.fallthrough_next < 0 &&
        is_final_line(first.data(), static_cast<int>(first.size()) + 1)) {
      // No site at hand has the file; the one that is down may.
      session_.reply_line(kSiteDownLine, st_.fallthrough_missing + 1);
      st_.fallthrough_missing = -1;
      forward = false;
      answered_ = true;
    }
    if (have_line && forward && reply_code(first, &code)) {
      if (const ServerReplyRow* row = match_reply(code, st_.last_command)) {
        handled = true;
        switch (row->handler(session_, rb)) {
          case ReplyResult::kAnswered:
            answered_ = true;
            for (int i = 0; i < n_; ++i)
              if (pending(i)) finished_[i] = true;
            return;
          case ReplyResult::kAskedMore:
            for (int i = 0; i < n_; ++i) {
              must_read_[i] = session_.awaits(i);
              finished_[i] = false;
              timed_[i] = reply_seconds_ > 0 && must_read_[i];
              if (timed_[i]) arm(i);
            }
            time_replies_from_now();
            return;
          case ReplyResult::kForward:
            break;
          case ReplyResult::kDrop:
          case ReplyResult::kFailed:
            forward = false;
            break;
        }
      }
    }
    // A handler may have rewritten the slice: measure the line again.
    const int l = rb.slice[chosen].line_length();
    if (forward && len[chosen] > 0 && l > 0) {
      const std::string_view line(rb.slice[chosen].data(), static_cast<size_t>(l));
      pass_line(line);
      if (is_final_line(line.data(), l) && is_preliminary(line)) {
        began_[chosen] = true;
        if (st_.decide_on_preliminary && st_.transfer) st_.transfer->decide_single_site(chosen);
        // The site holds the file and has begun: an abort's 426 must not
        // send the command on to the next site.
        st_.fallthrough_next = -1;
      }
    }
    bool more = false;
    for (int i = 0; i < n_; ++i) {
      if (!pending(i) || len[i] <= 0) continue;
      Slice& slice = rb.slice[i];
      const int li = slice.line_length();
      if (li <= 0) {
        // A handler that took the whole reply out of the slice has used it up.
        if (handled) finished_[i] = true;
        len[i] = -1;
        continue;
      }
      const bool final_line = is_final_line(slice.data(), li);
      if (final_line) {
        const bool preliminary = slice.data()[0] == '1';
        if (i == chosen && !preliminary && (forward || answered_)) answered_ = true;
        if (!preliminary) {
          count_final(i, std::string_view(slice.data(), static_cast<size_t>(li)), i == chosen);
          finished_[i] = true;
          timed_[i] = false;
        } else {
          // A transfer may last hours: its completion reply is not timed.
          timed_[i] = false;
        }
      }
      slice.drop_front(li);
      len[i] = final_line ? -1 : slice.line_length();
      more = more || len[i] > 0;
    }
    // The chosen site's reply ends the client's wait; a refusal that no
    // other site's text was forwarded for still answers it.
    if (finished_[chosen] && !answered_) answered_ = true;
    if (!more) return;
  }
}

void RelayLoop::handle_replies() {
  while (round_ready()) {
    const bool was_pending = any_pending();
    reply_round();
    // A round that changed nothing would only repeat.
    if (was_pending && any_pending() && round_ready()) {
      bool progress = false;
      for (int i = 0; i < n_; ++i) progress = progress || finished_[i] || must_read_[i];
      if (!progress && !rb_->slice[st_.current_site].ends_in_complete_reply()) break;
    }
  }
  hand_over_leftovers();
}

int RelayLoop::wait_limit_ms() const {
  long long limit = kRelayWaitSeconds * 1000LL;
  const Clock::time_point now = Clock::now();
  for (int i = 0; i < n_; ++i) {
    if (!silent(i)) continue;
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_[i] - now).count();
    if (left < limit) limit = left < 0 ? 0 : left;
  }
  return static_cast<int>(limit);
}

bool RelayLoop::overdue() {
  const Clock::time_point now = Clock::now();
  for (int i = 0; i < n_; ++i) {
    if (!silent(i) || now < deadline_[i]) continue;
    const int number = session_.site_number(i) + 1;
    char reason[64];
    std::snprintf(reason, sizeof reason, "%s within %d s", greeted_[i] ? "no answer" : "no greeting", reply_seconds_);
    if (metrics_) metrics_->site_timed_out(number - 1);
    if (lose_site(i, reason)) {
      i = -1;  // the slots moved: look at every one again
      continue;
    }
    log_line('e', "site %d did not answer within %ds, closing the session of %s\n", number, reply_seconds_,
             c_.client_ip.c_str());
    session_.reply_line("421 Site %d did not answer in time, closing the session.\r\n", number);
    return true;
  }
  return false;
}

void RelayLoop::note_alive(int i) {
  greeted_[i] = true;
  if (SiteHealth* h = health()) h->mark_up(session_.site_number(i));
}

bool RelayLoop::quitting() const { return strncasecmp(st_.last_command, "QUIT", 4) == 0; }

bool RelayLoop::lose_site(int i, const char* reason) {
  const int site = session_.site_number(i);
  if (SiteHealth* h = health()) h->mark_down(site, reason);
  if (config().sitedown != kSiteDownDegrade || n_ <= 1) return false;
  // The client stands in the site's section: nothing it does can go on.
  if (!session_.at_root() && st_.current_site == i) return false;
  log_line('e', "session of %s goes on without site %d\n", c_.client_ip.c_str(), site + 1);
  const bool owed = pending(i) && !answered_;
  const bool began = began_[i];
  bool others = false;
  for (int j = 0; j < n_; ++j) others = others || (j != i && pending(j));
  remove_slot(i);
  if (owed && !others) {
    // Only the lost site was to answer; the client still hears why.
    if (began)
      session_.reply_line("426 Site %d went down, transfer aborted.\r\n", site + 1);
    else
      session_.reply_line(kSiteDownLine, site + 1);
    answered_ = true;
    st_.fallthrough_next = -1;
  }
  return true;
}

void RelayLoop::remove_slot(int i) {
  auto shift = [&]() {
    for (int j = i; j + 1 < n_; ++j) {
      std::swap(c_.site_conn[j], c_.site_conn[j + 1]);
      std::swap(c_.site_addr[j], c_.site_addr[j + 1]);
      std::swap(c_.site_tls[j], c_.site_tls[j + 1]);
      std::swap(c_.site_tls_name[j], c_.site_tls_name[j + 1]);
      std::swap(c_.site_number[j], c_.site_number[j + 1]);
    }
    c_.site_conn[n_ - 1].close();
    c_.site_tls[n_ - 1].reset();
    c_.site_count = n_ - 1;
  };
  // Before the login the watchdog may shut these connections down at any moment.
  admission().with_sites_held(shift);
  for (int j = i; j + 1 < n_; ++j) {
    std::swap(rb_->slice[j], rb_->slice[j + 1]);
    std::swap(finished_[j], finished_[j + 1]);
    std::swap(must_read_[j], must_read_[j + 1]);
    std::swap(deadline_[j], deadline_[j + 1]);
    std::swap(timed_[j], timed_[j + 1]);
    std::swap(greeted_[j], greeted_[j + 1]);
    std::swap(began_[j], began_[j + 1]);
    std::swap(sent_at_[j], sent_at_[j + 1]);
    std::swap(reply_timed_[j], reply_timed_[j + 1]);
    std::swap(st_.awaited[j], st_.awaited[j + 1]);
  }
  --n_;
  rb_->slice[n_].clear();
  finished_[n_] = must_read_[n_] = timed_[n_] = greeted_[n_] = began_[n_] = false;
  st_.awaited[n_] = false;
  // Slot numbers past `i` move down by one; one that named the lost slot
  // names none, but the current site at the root passes to the next.
  auto moved = [&](int slot) { return slot > i ? slot - 1 : slot == i ? -1 : slot; };
  st_.current_site = st_.current_site == i ? (i < n_ ? i : 0) : moved(st_.current_site);
  st_.rename_site = moved(st_.rename_site);
  st_.restart_site = moved(st_.restart_site);
  if (st_.restart_site < 0) st_.after_restart.clear();
  at_once_site_ = moved(at_once_site_);
  if (st_.fallthrough_next > i) --st_.fallthrough_next;
  if (st_.fallthrough_next >= n_) st_.fallthrough_next = -1;
}

bool RelayLoop::pass() {
  std::lock_guard<std::mutex> hold(c_.lock);
  Connection* conns[kMaxSites + 1];
  int site_of[kMaxSites + 1];
  int count = 0;
  if (!client_closed_) {
    conns[count] = &c_.client_conn;
    site_of[count++] = -1;
  }
  for (int i = 0; i < n_; ++i) {
    // An awaited site whose reply is already complete is not read again
    // until that reply has been handled.
    if (pending(i) && !must_read_[i] && rb_->slice[i].ends_in_complete_reply()) continue;
    conns[count] = &c_.site_conn[i];
    site_of[count++] = i;
  }
  bool ready[kMaxSites + 1] = {};
  bool lost[kMaxSites] = {};
  // A reply already whole (a greeting read during set-up, say) is handled now, not after a wait.
  int r = wait_any_readable(conns, count, round_ready() ? 0 : wait_limit_ms(), ready);
  if (r < 0) return false;
  for (int k = 0; k < count; ++k) {
    if (!ready[k]) continue;
    if (site_of[k] < 0) {
      if (!read_client()) return false;
      continue;
    }
    const int i = site_of[k];
    if (pending(i) && rb_->slice[i].text().substr(0, 3) == "226") {
      std::printf("FUCK IT HAPPEND !!!\n");
      std::fflush(stdout);
    }
    if (!read_site(i)) lost[i] = true;
  }
  // Replies that arrived together (150 and 226 of one transfer) are handled
  // in this same pass; the client must not wait for them.
  handle_replies();
  // From the last slot down, so the slots still to look at keep their place.
  for (int i = n_ - 1; i >= 0 && !site_closed_; --i) {
    if (!lost[i]) continue;
    // After QUIT a site hangs up as it should.
    if (quitting() || c_.login_expired.load() || c_.ended.load() || !lose_site(i, "closed its connection"))
      site_closed_ = true;
  }
  if (!site_closed_) handle_replies();
  // A site that closed ends the session, after what it said has been passed on.
  if (site_closed_ || st_.client_tls_failed) return false;
  if (overdue()) return false;
  handle_client_lines();
  handle_replies();
  if (client_closed_ && !any_pending() && client_buf_->line_length() <= 0) return false;
  return true;
}
}  // namespace

void relay_loop(Client& c) {
  RelayLoop loop(c);
  loop.run();
}

}  // namespace ferrynet
