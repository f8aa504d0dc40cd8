#include "ferrynet/relay/relay_loop.h"

#include <strings.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "ferrynet/core/config.h"
#include "ferrynet/core/log.h"
#include "ferrynet/core/metrics.h"
#include "ferrynet/core/net.h"
#include "ferrynet/relay/command_table.h"
#include "ferrynet/relay/owed_replies.h"
#include "ferrynet/relay/path_routing.h"
#include "ferrynet/relay/site_setup.h"
#include "ferrynet/relay/telnet_strip.h"
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
// The completion of a carried transfer whose client's leg did not get it all.
constexpr const char kNoDataConnection[] = "425 Can't open data connection.\r\n";
constexpr const char kTransferCut[] = "426 Connection closed; transfer aborted.\r\n";
// How often held replies look at their transfer.
constexpr int kHeldCheckMs = 50;
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

// The commands whose data a bounce of the daemon may carry.
bool moves_data(std::string_view line) {
  for (const char* name : {"LIST", "NLST", "MLSD", "RETR", "STOR", "STOU", "APPE"})
    if (line.size() >= 4 && strncasecmp(line.data(), name, 4) == 0 &&
        (line.size() == 4 || line[4] == ' ' || line[4] == '\r'))
      return true;
  return false;
}

// How often the relay looks at a transfer it carries, which ends or fails
// on the bouncer's thread.
constexpr int kTransferWatchMs = 250;

bool is_word(std::string_view line, const char* word) {
  return line.size() >= 4 && strncasecmp(line.data(), word, 4) == 0 &&
         (line.size() == 4 || line[4] == '\r' || line[4] == ' ');
}

// ABOR and STAT are sent while a transfer runs; a client aborting a download
// must not wait for it to end.
bool goes_at_once(std::string_view line) { return is_word(line, "ABOR") || is_word(line, "STAT"); }
bool is_abort(std::string_view line) {
  while (!line.empty() && static_cast<unsigned char>(line.front()) >= 0x80) line.remove_prefix(1);
  return line.size() >= 4 && strncasecmp(line.data(), "ABOR", 4) == 0;
}

// A new data connection is asked for: whatever transfer came before is not this one's.
bool sets_up_data(std::string_view line) {
  for (const char* name : {"PASV", "EPSV", "PORT", "EPRT"})
    if (line.size() >= 4 && strncasecmp(line.data(), name, 4) == 0) return true;
  return false;
}

// A line as it may reach the client: a NUL ends the text, not the line.
std::string_view without_nul(std::string_view line, std::string& scratch) {
  const void* nul = std::memchr(line.data(), '\0', line.size());
  if (nul == nullptr) return line;
  scratch.assign(line.data(), static_cast<size_t>(static_cast<const char*>(nul) - line.data()));
  scratch += line.size() >= 2 && line[line.size() - 2] == '\r' ? "\r\n" : "\n";
  return scratch;
}

// The replies of a transfer the daemon carries wait for what its client's
// leg saw: the 1xx until the client's data connection is there, the
// completion until the transfer has ended, which may turn it into 425 or
// 426. Text after them waits behind them.
struct HeldReply {
  std::shared_ptr<TransferPlan> plan;
  std::string opening, closing, after;
  bool opening_whole = false;
  bool opened = false;  // the 1xx went out, or never will
  bool closing_whole = false;

  void take(std::string_view line) {
    const bool final_line = is_final_line(line.data(), static_cast<int>(line.size()));
    if (!opening_whole) {
      opening.append(line);
      opening_whole = final_line;
    } else if (!closing_whole) {
      closing.append(line);
      closing_whole = final_line;
    } else {
      after.append(line);
    }
  }
};

class RelayLoop {
 public:
  explicit RelayLoop(Client& c) : c_(c), n_(c.site_count), session_(c, st_) {
    // Not zero-filled: a slice is read only up to its length, and pages
    // nothing was written to cost an idle session no memory.
    rb_.reset(new ReplyBuffer);
    client_buf_.reset(new Slice);
    st_.presence = new PresenceEntry();
    // The sites' greetings are the first replies owed.
    session_.await_every_site();
    start_command();
    // A greeting answers no command: it is not timed.
    for (bool& t : reply_timed_) t = false;
  }
  ~RelayLoop() {
    // A client still reading its download keeps it to the end.
    session_.let_transfers_go();
    presence_unlink(st_.presence);
  }

  // True when the client has been told why its session ended.
  bool run();

 private:
  bool identity_wanted() const;
  // Every site's greeting, the identity line's answer used up, read before
  // the relay starts; false ends the session.
  bool greet_sites();
  // AUTH TLS on every site before the client sees a greeting; false ends the session.
  bool secure_sites();
  // Runs the sites' set-up together; failed sites are lost or end the session.
  bool set_up(SiteSetupKind kind);
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
  // The transfer a 1xx of the current command announces, if the daemon carries it.
  std::shared_ptr<TransferPlan> carried_transfer() const;
  // Sends what the held transfer's state allows; true once nothing is held.
  bool flush_held();
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
  // The slice holds the site's whole reply: it ends in a final line, or is
  // full and has one (what follows it waits for a later pass).
  bool whole(int i) const {
    const Slice& slice = rb_->slice[i];
    return slice.ends_in_complete_reply() || (slice.full() && slice.holds_final_line());
  }
  // An awaited site still owes text within the time limit. One whose reply is
  // whole in its slice waits only for the others, and is not the one to blame.
  bool silent(int i) const { return pending(i) && timed_[i] && (must_read_[i] || !whole(i)); }
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

  // Sites that close idle control connections must not end a session whose
  // client is busy elsewhere.
  Clock::time_point last_carried(int i) const;
  // Never into a reply the client waits for, nor behind text not yet handled.
  bool may_keep_alive(int i) const {
    return keepalive_seconds_ > 0 && !pending(i) && owed_[i] == Owed::kNone && rb_->slice[i].empty();
  }
  void keep_sites_alive();
  void owe(int i, Owed what);
  // The daemon gives up site i's transfer: ABOR, its replies used up; the
  // client's completion reply is `verdict` instead.
  void abandon(int i, const std::string& verdict);
  // The transfer carried for the command in hand failed or ended on the bouncer's thread.
  void watch_transfer();
  // A reply longer than a slice moves on early; false when the text cannot be a reply at all.
  bool spill(int i);
  void go_on_long_line(int i);
  void pass_piece(std::string_view text);
  void merge_too_long();
  int shown_site() const;
  // What a closing site leaves the client with.
  void note_closing_line(int i, std::string_view text);
  void say_site_closed(int i);
  bool name_silent_greeter();

  Client& c_;
  int n_;
  RelayState st_;
  TelnetStrip telnet_;
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
  // The site has sent a whole reply in this session.
  bool greeted_[kMaxSites] = {};
  // A transfer on the site has begun (its 1xx passed) for the current command.
  bool began_[kMaxSites] = {};
  int closed_site_ = -1;
  int garbled_site_ = -1;
  const int reply_seconds_ = static_cast<int>(config().replytimeout > 86400 ? 86400 : config().replytimeout);
  const int keepalive_seconds_ =
      static_cast<int>(config().sitekeepalive > 86400 ? 86400 : config().sitekeepalive);
  // The greetings are the replies awaited before the client's first command.
  bool greeting_ = true;

  // Replies to the daemon's own commands, with the time they are due by.
  Owed owed_[kMaxSites] = {};
  Clock::time_point owed_by_[kMaxSites];
  Clock::time_point read_at_[kMaxSites];

  // The bounce carrying the data of the command in hand; none when it moves no data through the daemon.
  std::shared_ptr<TransferPlan> carried_;
  bool leg_failure_seen_ = false;
  // A 1xx line of the site's reply to the command in hand has been passed on.
  bool announced_[kMaxSites] = {};
  // Its completion reply is timed since the data legs ended.
  bool completion_timed_[kMaxSites] = {};
  // Said to the client in place of the command's completion reply.
  std::string verdict_;

  // A reply over a slice: the site whose lines pass on early, whether the
  // site's reply of this command has spilled, and a line longer than a slice.
  int spill_shown_ = -1;
  bool spilled_[kMaxSites] = {};
  bool too_long_to_merge_ = false;
  struct LongLine {
    bool active = false;
    bool final = false;
    bool preliminary = false;
  };
  LongLine long_line_[kMaxSites];

  // A site's own 421 line, said instead of the daemon's when it closes.
  std::string closing_line_[kMaxSites];
  bool told_closing_ = false;
  std::optional<HeldReply> held_;
  // The last transfer whose replies were held: a later 1xx is not its.
  std::weak_ptr<TransferPlan> spent_;
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
  carried_.reset();
  leg_failure_seen_ = false;
  verdict_.clear();
  spill_shown_ = -1;
  too_long_to_merge_ = false;
  for (int i = 0; i < n_; ++i) {
    finished_[i] = false;
    must_read_[i] = false;
    began_[i] = false;
    announced_[i] = false;
    completion_timed_[i] = false;
    spilled_[i] = false;
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

bool RelayLoop::identity_wanted() const {
  const Config& cfg = config();
  return cfg.bouncemodedown && cfg.bouncemodedown->find('a') != std::string::npos;
}

bool RelayLoop::greet_sites() {
  if (!identity_wanted()) return true;
  return set_up(SiteSetupKind::kGreet);
}

bool RelayLoop::secure_sites() { return set_up(SiteSetupKind::kSecure); }

bool RelayLoop::set_up(SiteSetupKind kind) {
  const int limit = reply_seconds_ > 0 ? reply_seconds_ : kTlsHandshakeSeconds;
  const bool secure = kind == SiteSetupKind::kSecure;
  // A session that may go on without a site needs to know every site's outcome.
  const bool every_site = config().sitedown == kSiteDownDegrade && n_ > 1;
  SiteSetupOutcome out;
  set_up_sites(c_, session_, *rb_, limit, kind, every_site, out);
  int first_failed = -1;
  for (int i = 0; i < n_; ++i) {
    if (metrics_ && out.handshake[i] != 0) metrics_->tls_handshake(TlsLeg::kSite, out.handshake[i] > 0);
    if (out.end[i] == SetupEnd::kReady) note_alive(i);
    if (out.end[i] != SetupEnd::kFailed) continue;
    if (first_failed < 0) first_failed = i;
    const int number = session_.site_number(i) + 1;
    if (secure)
      log_line('e', "site %d refused TLS for %s (%s)\n", number, c_.client_ip.c_str(), out.why[i].c_str());
    else
      log_line('e', "site %d did not greet %s\n", number, c_.client_ip.c_str());
    if (!every_site) break;
  }
  if (first_failed < 0) return true;
  const int first_number = session_.site_number(first_failed) + 1;
  // From the last slot down, so that the slots not yet lost keep their places.
  for (int i = n_ - 1; i >= first_failed; --i) {
    if (out.end[i] != SetupEnd::kFailed) continue;
    const std::string reason = secure ? "refused TLS (" + out.why[i] + ")" : std::string("no greeting");
    if (every_site && lose_site(i, reason.c_str())) continue;
    SiteHealth* h = every_site ? nullptr : health();
    if (h) h->mark_down(session_.site_number(i), reason.c_str());
    if (secure)
      session_.reply_line("421 Site %d refused a protected connection, closing.\r\n", first_number);
    else
      session_.reply_line("421 Site %d is unreachable, try again later.\r\n", first_number);
    return false;
  }
  return true;
}

bool RelayLoop::run() {
  c_.client_conn.keep_urgent_inline();
  // The client's handshake came before the sites were contacted; its data
  // is protected by default, as the connection is.
  if (config().clienttls == kClientTlsImplicit) st_.client_prot_private = true;
  const Clock::time_point now = Clock::now();
  for (Clock::time_point& t : read_at_) t = now;
  // Their every failure is told to the client.
  if (config().sitetls) {
    if (!secure_sites()) return true;
  } else if (!greet_sites()) {
    return true;
  }
  while (!c_.ended.load() && !c_.login_expired.load() && pass()) {
  }
  return c_.login_expired.load() && !c_.ended.load() && name_silent_greeter();
}

bool RelayLoop::name_silent_greeter() {
  if (!greeting_) return false;
  for (int i = 0; i < n_; ++i) {
    if (!pending(i) || whole(i)) continue;
    // The login limit ran out first, but the site is why.
    log_line('e', "site %d did not greet within the login time, closing the session of %s\n", session_.site_number(i) + 1,
             c_.client_ip.c_str());
    session_.reply_line("421 Site %d did not answer in time, closing the session.\r\n", session_.site_number(i) + 1);
    return true;
  }
  return false;
}

bool RelayLoop::read_client() {
  const int r = client_buf_->append_read(c_.client_conn, [this](char* p, size_t n) { return telnet_.strip(p, n); });
  if (r == Slice::kNothingYet) return true;
  if (r == 0) {
    // Its session ends at once, but for a transfer the daemon still carries.
    client_closed_ = true;
    return true;
  }
  if (r < 0) return false;
  // A full buffer without a line end can never become a command; waiting for
  // more bytes that cannot be stored would only hold the session open.
  return !(client_buf_->full() && client_buf_->line_length() < 0);
}

bool RelayLoop::read_site(int i) {
  Slice& slice = rb_->slice[i];
  if (pending(i) || owed_[i] != Owed::kNone) {
    // A full slice is whole and waits to be handled.
    if (slice.full()) return true;
    const int r = slice.append_read(c_.site_conn[i]);
    if (r == Slice::kNothingYet) return true;
    if (r <= 0) return false;
    read_at_[i] = Clock::now();
    note_closing_line(i, slice.text());
    if (owed_[i] != Owed::kNone) {
      owed_[i] = use_up_owed(slice, owed_[i]);
      if (owed_[i] != Owed::kNone) owed_by_[i] = read_at_[i] + std::chrono::seconds(reply_seconds_);
    }
    if (!pending(i)) {
      if (owed_[i] == Owed::kNone && !slice.empty()) {
        pass_unasked(i, slice.text());
        slice.clear();
      }
      return true;
    }
    must_read_[i] = false;
    if (timed_[i]) arm(i);
    if (long_line_[i].active) go_on_long_line(i);
    if (pending(i) && slice.full() && !whole(i) && !spill(i)) {
      garbled_site_ = i;
      return false;
    }
    if (!greeted_[i] && rb_->slice[i].ends_in_complete_reply()) note_alive(i);
    if (metrics_) count_reply(i);
    return true;
  }
  // Text nobody asked for, a time-out notice say.
  char scratch[kSliceSize];
  long got = c_.site_conn[i].read_some(scratch, sizeof scratch, 0);
  if (got < 0 && errno == EAGAIN) return true;
  if (got <= 0) return false;
  read_at_[i] = Clock::now();
  const std::string_view text(scratch, static_cast<size_t>(got));
  note_closing_line(i, text);
  pass_unasked(i, text);
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
    if (pending(i) || slice.empty() || owed_[i] != Owed::kNone) continue;
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
    // ABOR cuts the transfer the daemon carries; its 426 goes first.
    if (held_ && is_abort(line)) held_->plan->cut();
    if (held_ && !any_pending()) {
      // The next command waits for the transfer's completion reply (RFC 959's order).
      flush_held();
      if (held_) return;
    }
    if (any_pending()) {
      if (!goes_at_once(line)) return;
      // It belongs to the site the transfer runs on: at the root that may
      // not be the current one. Its reply follows the transfer's.
      int target = st_.current_site;
      for (int i = 0; i < n_ && !pending(target); ++i)
        if (pending(i)) target = i;
      if (is_word(line, "ABOR")) {
        // Every site still sending its part stops: a plain ABOR line after
        // the Telnet Synch, whatever way the client signalled it (sites
        // read nothing else during a transfer).
        for (int i = 0; i < n_; ++i)
          if (pending(i)) session_.send_site_urgent(i, "ABOR\r\n");
      } else {
        session_.relay_line(target, line);
      }
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
  st_.probe_site = -1;
  st_.restart_site = -1;
  st_.after_restart.clear();
  st_.decide_on_preliminary = false;
  st_.current_site_answers = false;
  session_.await_every_site();
  if (sets_up_data(line) && st_.transfer) {
    st_.transfer->cancel_if_undecided();
    st_.transfer.reset();
  }
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
  greeting_ = false;
  start_command();
  if (moves_data(line) && st_.transfer && st_.transfer->claim()) carried_ = st_.transfer;
}

bool RelayLoop::round_ready() const {
  bool any = false;
  for (int i = 0; i < n_; ++i) {
    if (!pending(i)) continue;
    if (must_read_[i] || !whole(i)) return false;
    any = true;
  }
  return any;
}

void RelayLoop::pass_line(std::string_view line) {
  if (line.size() >= 3 && line.compare(0, 3, "421") == 0) told_closing_ = true;
  // Passed on whole, however long.
  std::string scratch;
  const std::string_view text = without_nul(line, scratch);
  if (held_) {
    held_->take(text);
    flush_held();
    return;
  }
  session_.reply(text);
}

std::shared_ptr<TransferPlan> RelayLoop::carried_transfer() const {
  const std::shared_ptr<TransferPlan>& p = st_.transfer;
  if (!p || p == spent_.lock()) return nullptr;
  const TransferPlan::Use use = p->decision().use;
  if (use == TransferPlan::Use::kCancelled) return nullptr;
  if (use == TransferPlan::Use::kUndecided && !st_.decide_on_preliminary) return nullptr;
  return p;
}

bool RelayLoop::flush_held() {
  if (!held_) return true;
  HeldReply& h = *held_;
  const TransferPlan::Outcome out = h.plan->outcome();
  if (!h.opened && h.opening_whole) {
    if (h.plan->client_open()) {
      session_.reply(h.opening);
      h.opened = true;
    } else if (out != TransferPlan::Outcome::kRunning) {
      h.opened = true;  // no data connection: no 1xx either
    }
  }
  if (!h.closing_whole) return false;
  const bool success = h.closing[0] == '2';
  // A refusal is the site's own word; a success waits for the client's leg,
  // whose last bytes are on their way: waited for here, not found by a later turn.
  TransferPlan::Outcome out_now = out;
  if (success && out_now == TransferPlan::Outcome::kRunning) out_now = h.plan->wait_outcome(kHeldCheckMs);
  if (success && out_now == TransferPlan::Outcome::kRunning) return false;
  if (out_now != out) return flush_held();
  if (out == TransferPlan::Outcome::kNoConnection) {
    session_.reply(kNoDataConnection);
  } else if (success && out == TransferPlan::Outcome::kCut) {
    log_line('e', "transfer of %s cut on the client's data connection: \"%.*s\" becomes 426\n", c_.client_ip.c_str(),
             static_cast<int>(h.closing.size() > 2 ? h.closing.size() - 2 : 0), h.closing.c_str());
    session_.reply(kTransferCut);
  } else {
    if (!h.opened) h.opened = true;
    session_.reply(h.closing);
  }
  if (!h.after.empty()) session_.reply(h.after);
  spent_ = h.plan;
  held_.reset();
  return true;
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
  announced_[next] = false;
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
  if (st_.probe_site >= 0) {
    // A site's answer on whether it holds a name is the daemon's alone.
    const int p = st_.probe_site;
    if (!pending(p) || must_read_[p] || !rb.slice[p].ends_in_complete_reply()) return;
    // 213 is the time of a name the site has; anything else says nothing.
    const bool holds = rb.slice[p].text().substr(0, 4) == "213 ";
    for (int l; (l = rb.slice[p].line_length()) > 0;) {
      const bool final_line = is_final_line(rb.slice[p].data(), l);
      rb.slice[p].drop_front(l);
      if (final_line) break;
    }
    holder_answered(session_, holds);
    start_command();
    return;
  }
  if (restart_answered()) return;
  if (!round_ready()) return;
  if (too_long_to_merge_) {
    merge_too_long();
    return;
  }
  int len[kMaxSites];
  for (int i = 0; i < n_; ++i) len[i] = pending(i) ? rb.slice[i].line_length() : -1;
  int chosen = shown_site();
  // Lines of a long reply have already reached the client: the rest is the same site's.
  if (spill_shown_ >= 0 && pending(spill_shown_)) chosen = spill_shown_;
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
      if (!held_ && is_preliminary(line))
        if (std::shared_ptr<TransferPlan> plan = carried_transfer()) {
          held_.emplace();
          held_->plan = std::move(plan);
        }
      if (!verdict_.empty() && is_final_line(line.data(), l) && !is_preliminary(line)) {
        // The transfer failed on the daemon's side: the site's word that it went well is not the client's.
        pass_line(verdict_);
        verdict_.clear();
      } else {
        pass_line(line);
      }
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
          announced_[i] = true;
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
  long long limit = held_ ? kHeldCheckMs : kRelayWaitSeconds * 1000LL;
  const Clock::time_point now = Clock::now();
  auto until = [&](Clock::time_point t) {
    const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count();
    if (left < limit) limit = left < 0 ? 0 : left;
  };
  for (int i = 0; i < n_; ++i) {
    if (silent(i)) until(deadline_[i]);
    if (owed_[i] != Owed::kNone && reply_seconds_ > 0) until(owed_by_[i]);
    if (may_keep_alive(i)) until(last_carried(i) + std::chrono::seconds(keepalive_seconds_));
  }
  if (carried_ && !carried_->ended() && limit > kTransferWatchMs) limit = kTransferWatchMs;
  return static_cast<int>(limit);
}

bool RelayLoop::overdue() {
  const Clock::time_point now = Clock::now();
  for (int i = 0; i < n_; ++i) {
    const bool owed_late = owed_[i] != Owed::kNone && reply_seconds_ > 0 && now >= owed_by_[i];
    if (!owed_late && (!silent(i) || now < deadline_[i])) continue;
    const int number = session_.site_number(i) + 1;
    if (!owed_late && completion_timed_[i]) {
      // Its data legs ended long ago: the transfer is over, whatever the site says later.
      log_line('e', "site %d sent no completion reply within %ds of the transfer's end for %s\n", number,
               reply_seconds_, c_.client_ip.c_str());
      char verdict[128];
      std::snprintf(verdict, sizeof verdict, "426 Site %d did not complete the transfer in time.\r\n", number);
      abandon(i, verdict);
      continue;
    }
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
    std::swap(owed_[j], owed_[j + 1]);
    std::swap(owed_by_[j], owed_by_[j + 1]);
    std::swap(read_at_[j], read_at_[j + 1]);
    std::swap(announced_[j], announced_[j + 1]);
    std::swap(completion_timed_[j], completion_timed_[j + 1]);
    std::swap(spilled_[j], spilled_[j + 1]);
    std::swap(long_line_[j], long_line_[j + 1]);
    std::swap(closing_line_[j], closing_line_[j + 1]);
  }
  session_.forget_slot(i);
  --n_;
  rb_->slice[n_].clear();
  finished_[n_] = must_read_[n_] = timed_[n_] = greeted_[n_] = began_[n_] = false;
  st_.awaited[n_] = false;
  owed_[n_] = Owed::kNone;
  announced_[n_] = completion_timed_[n_] = spilled_[n_] = false;
  long_line_[n_] = LongLine{};
  closing_line_[n_].clear();
  // Slot numbers past `i` move down by one; one that named the lost slot
  // names none, but the current site at the root passes to the next.
  auto moved = [&](int slot) { return slot > i ? slot - 1 : slot == i ? -1 : slot; };
  st_.current_site = st_.current_site == i ? (i < n_ ? i : 0) : moved(st_.current_site);
  st_.rename_site = moved(st_.rename_site);
  st_.restart_site = moved(st_.restart_site);
  if (st_.restart_site < 0) st_.after_restart.clear();
  at_once_site_ = moved(at_once_site_);
  spill_shown_ = moved(spill_shown_);
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
    if (pending(i) && !must_read_[i] && whole(i)) continue;
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
  for (int i = n_ - 1; i >= 0 && closed_site_ < 0; --i) {
    if (!lost[i]) continue;
    // After QUIT a site hangs up as it should.
    if (quitting() || c_.login_expired.load() || c_.ended.load() || garbled_site_ == i ||
        !lose_site(i, "closed its connection"))
      closed_site_ = i;
  }
  if (closed_site_ < 0) handle_replies();
  flush_held();
  // A site that closed ends the session, after what it said has been passed on.
  if (closed_site_ >= 0) {
    say_site_closed(closed_site_);
    return false;
  }
  if (st_.client_tls_failed) return false;
  watch_transfer();
  if (overdue()) return false;
  // A client that has closed is gone: nothing it still waits for holds the
  // session, but for a transfer the daemon still carries.
  if (client_closed_ && !held_) return false;
  handle_replies();
  handle_client_lines();
  handle_replies();
  if (client_closed_ && held_) {
    // A transfer the daemon carries runs on while it moves; the sites keep
    // their control connections until then, or they would abort it.
    session_.let_transfers_go();
    return held_->plan->outcome() == TransferPlan::Outcome::kRunning;
  }
  if (client_closed_) return false;
  // A 1xx handled just now may be the transfer's whose legs have ended.
  watch_transfer();
  keep_sites_alive();
  return true;
}

Clock::time_point RelayLoop::last_carried(int i) const {
  const Clock::time_point sent = session_.sent_at(i);
  return sent > read_at_[i] ? sent : read_at_[i];
}

void RelayLoop::owe(int i, Owed what) {
  owed_[i] = what;
  owed_by_[i] = Clock::now() + std::chrono::seconds(reply_seconds_);
}

void RelayLoop::keep_sites_alive() {
  if (keepalive_seconds_ <= 0) return;
  const Clock::time_point now = Clock::now();
  for (int i = 0; i < n_; ++i) {
    if (!may_keep_alive(i)) continue;
    if (now - last_carried(i) < std::chrono::seconds(keepalive_seconds_)) continue;
    if (session_.send_site(i, "NOOP\r\n")) owe(i, Owed::kOneReply);
  }
}

void RelayLoop::abandon(int i, const std::string& verdict) {
  session_.send_site(i, "ABOR\r\nNOOP\r\n");
  rb_->slice[i].clear();
  long_line_[i] = LongLine();
  owe(i, Owed::kThroughNoop);
  finished_[i] = true;
  timed_[i] = false;
  completion_timed_[i] = false;
  if (answered_) return;
  verdict_ = verdict;
  if (any_pending()) return;
  // No other site's reply is left to carry it.
  pass_line(verdict_);
  verdict_.clear();
  answered_ = true;
}

void RelayLoop::watch_transfer() {
  if (!carried_) return;
  const int failed = carried_->failed_site();
  if (failed >= 0 && failed < n_ && !leg_failure_seen_) {
    leg_failure_seen_ = true;
    log_line('e', "data connection to site %d failed, its transfer for %s aborted\n", failed + 1,
             c_.client_ip.c_str());
    char verdict[128];
    std::snprintf(verdict, sizeof verdict, "426 Data connection to site %d failed, transfer aborted.\r\n",
                  failed + 1);
    if (pending(failed)) {
      abandon(failed, verdict);
    } else if (!answered_) {
      verdict_ = verdict;
    }
  }
  // A bounce that never carried a byte (no data connection came) is not this transfer's.
  if (!carried_->ended() || !carried_->legs_began() || reply_seconds_ <= 0) return;
  for (int i = 0; i < n_; ++i) {
    // Every data leg has ended: the completion reply is due now, not after hours.
    if (!pending(i) || !announced_[i] || timed_[i]) continue;
    timed_[i] = true;
    completion_timed_[i] = true;
    arm(i);
  }
}

int RelayLoop::shown_site() const {
  int chosen = pending(st_.current_site) ? st_.current_site : -1;
  for (int i = 0; i < n_; ++i) {
    if (chosen < 0 && pending(i)) chosen = i;
    if (pending(i) && !rb_->slice[i].empty() && rb_->slice[i].data()[0] == '5' && !st_.current_site_answers)
      chosen = i;
  }
  return chosen;
}

void RelayLoop::pass_piece(std::string_view text) {
  const void* nul = std::memchr(text.data(), '\0', text.size());
  if (nul != nullptr) text = text.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
  if (!text.empty()) session_.reply(text);
}

bool RelayLoop::spill(int i) {
  Slice& slice = rb_->slice[i];
  if (!spilled_[i]) {
    // A reply opens with three digits and a blank or hyphen; a slice of anything else is a broken site.
    const char* t = slice.data();
    auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
    if (!(digit(t[0]) && digit(t[1]) && digit(t[2]) && (t[3] == ' ' || t[3] == '-'))) return false;
    spilled_[i] = true;
    int code = 0;
    const ServerReplyRow* row = reply_code(slice.text(), &code) ? match_reply(code, st_.last_command) : nullptr;
    if (row != nullptr && row->whole) {
      too_long_to_merge_ = true;
      log_line('e', "reply of site %d to %s is too long to merge for %s\n", session_.site_number(i) + 1, st_.last_command,
               c_.client_ip.c_str());
    } else {
      log_line('e', "reply of site %d to %s passes %d bytes, sent on line by line to %s\n", session_.site_number(i) + 1,
               st_.last_command, Slice::kCapacity, c_.client_ip.c_str());
    }
    if (spill_shown_ < 0 && !too_long_to_merge_) spill_shown_ = shown_site();
  }
  const bool show = !too_long_to_merge_ && !answered_ && i == spill_shown_;
  const int cut = slice.whole_lines_length();
  if (cut == 0) {
    // One line longer than a slice: it goes on as it comes.
    const std::string_view text = slice.text();
    long_line_[i].active = true;
    long_line_[i].final = is_final_line(text.data(), static_cast<int>(text.size()));
    long_line_[i].preliminary = is_preliminary(text);
    if (show) pass_piece(text);
    slice.clear();
    return true;
  }
  // None of these lines ends the reply (the slice holds no final line).
  int pos = 0;
  while (show && pos < cut) {
    const int l = line_length(slice.data() + pos, cut - pos);
    pass_line(std::string_view(slice.data() + pos, static_cast<size_t>(l)));
    pos += l;
  }
  slice.drop_front(cut);
  return true;
}

void RelayLoop::go_on_long_line(int i) {
  Slice& slice = rb_->slice[i];
  const bool show = !too_long_to_merge_ && !answered_ && i == spill_shown_;
  const int l = slice.line_length();
  if (l <= 0) {
    if (show) pass_piece(slice.text());
    slice.clear();
    return;
  }
  if (show) pass_piece(std::string_view(slice.data(), static_cast<size_t>(l)));
  slice.drop_front(l);
  const LongLine line = long_line_[i];
  long_line_[i] = LongLine();
  if (!line.final) return;
  timed_[i] = false;
  if (line.preliminary) {
    announced_[i] = true;
    return;
  }
  // The reply ended in that line: the site's part of this command is done.
  finished_[i] = true;
  if (show) answered_ = true;
  if (too_long_to_merge_ && !any_pending()) merge_too_long();
}

void RelayLoop::merge_too_long() {
  too_long_to_merge_ = false;
  session_.reply_line("550 %s: reply too long to merge.\r\n", st_.last_command);
  for (int i = 0; i < n_; ++i) {
    if (!pending(i)) continue;
    Slice& slice = rb_->slice[i];
    for (int l = slice.line_length(); l > 0; l = slice.line_length()) {
      const bool final_line = is_final_line(slice.data(), l);
      slice.drop_front(l);
      if (final_line) break;
    }
    finished_[i] = true;
    timed_[i] = false;
  }
  answered_ = true;
}

void RelayLoop::note_closing_line(int i, std::string_view text) {
  if (!closing_line_[i].empty()) return;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) return;
    if (lf - pos >= 3 && text.compare(pos, 3, "421") == 0) {
      closing_line_[i] = std::string(text.substr(pos, lf + 1 - pos));
      return;
    }
    pos = lf + 1;
  }
}

void RelayLoop::say_site_closed(int i) {
  // The login watch closed it: the client thread says why. After QUIT a
  // site hangs up as it should.
  if (c_.login_expired.load() || c_.ended.load() || quitting()) return;
  const int number = session_.site_number(i) + 1;
  if (i == garbled_site_) {
    log_line('e', "site %d sent %d bytes that are no reply, closing the session of %s\n", number, Slice::kCapacity,
             c_.client_ip.c_str());
    session_.reply_line("421 Site %d sent no valid reply, closing the session.\r\n", number);
    return;
  }
  log_line('e', "site %d closed its connection, closing the session of %s\n", number, c_.client_ip.c_str());
  bool transferring = false;
  for (int k = 0; k < n_; ++k) transferring = transferring || (pending(k) && announced_[k]);
  if (transferring && !answered_) {
    char cut[96];
    std::snprintf(cut, sizeof cut, "426 Site %d closed its connection, transfer aborted.\r\n", number);
    pass_line(cut);
  }
  if (told_closing_) return;
  if (!closing_line_[i].empty()) {
    pass_line(closing_line_[i]);
    return;
  }
  session_.reply_line("421 Site %d closed its connection, closing the session.\r\n", number);
}

}  // namespace

bool relay_loop(Client& c) {
  RelayLoop loop(c);
  return loop.run();
}

}  // namespace ferrynet
