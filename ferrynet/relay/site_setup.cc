#include "ferrynet/relay/site_setup.h"

#include <cerrno>
#include <chrono>
#include <string>

#include "ferrynet/core/config.h"
#include "ferrynet/core/connection.h"
#include "ferrynet/core/log.h"
#include "ferrynet/core/tls_setup.h"

namespace ferrynet {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kSetupReadBytes = 1024;

enum class Step {
  kGreeting,
  kIdentityAnswer,  // the identity line's answer, or the NOOP's behind it
  kNoopAnswer,
  kAuth,
  kHandshake,
  kPbsz,
  kProt,
  kReady,
  kTurnedAway,
  kFailed
};

bool settled(Step s) { return s == Step::kReady || s == Step::kTurnedAway || s == Step::kFailed; }

// One site's way through its set-up.
struct SiteLeg {
  Step step = Step::kGreeting;
  std::string got;       // text read and not yet taken as a reply
  std::string greeting;  // what the client will be shown
  std::string why;       // the reason of a refusal
  Clock::time_point deadline;
  Want want = Want::kRead;
};

class SiteSetup {
 public:
  SiteSetup(Client& c, Session& session, ReplyBuffer& rb, int reply_limit_s, SiteSetupKind kind)
      : c_(c),
        session_(session),
        rb_(rb),
        n_(session.site_count()),
        reply_limit_(std::chrono::seconds(reply_limit_s)),
        secure_(kind == SiteSetupKind::kSecure) {}

  bool run();

 private:
  // Takes the site as far as it goes without waiting.
  void advance(int i);
  // A whole reply (1xx lines before it included) out of leg.got, or false.
  bool take_reply(SiteLeg& leg, std::string& reply);
  // Sends `command` and awaits its reply as `next`.
  void ask(int i, const char* command, Step next);
  // The greeting is in and the identity line's answers are used up.
  void greeted(int i);
  void fail(int i, std::string why);
  // The first site in site order that failed, once no site before it can
  // still fail; -1 while that is not known or when none failed.
  int first_refusal(bool* known) const;

  Client& c_;
  Session& session_;
  ReplyBuffer& rb_;
  const int n_;
  const Clock::duration reply_limit_;
  const bool secure_;
  bool identity_ = false;
  SiteLeg legs_[kMaxSites];
};

bool SiteSetup::take_reply(SiteLeg& leg, std::string& reply) {
  size_t start = 0;
  for (;;) {
    const size_t lf = leg.got.find('\n', start);
    if (lf == std::string::npos) return false;
    const char* line = leg.got.data() + start;
    const int len = static_cast<int>(lf + 1 - start);
    start = lf + 1;
    if (is_final_line(line, len) && line[0] != '1') break;
  }
  reply = leg.got.substr(0, start);
  leg.got.erase(0, start);
  return true;
}

void SiteSetup::ask(int i, const char* command, Step next) {
  SiteLeg& leg = legs_[i];
  leg.step = next;
  leg.want = Want::kRead;
  leg.deadline = Clock::now() + reply_limit_;
  if (!session_.send_site(i, command)) fail(i, "");
}

void SiteSetup::greeted(int i) {
  if (secure_)
    ask(i, "AUTH TLS\r\n", Step::kAuth);
  else
    legs_[i].step = Step::kReady;
}

void SiteSetup::fail(int i, std::string why) {
  legs_[i].step = Step::kFailed;
  legs_[i].why = why.empty() ? "no answer" : std::move(why);
}

// The first line of a reply, without its line end, for the log.
std::string first_line(const std::string& reply) { return reply.substr(0, reply.find_first_of("\r\n")); }

void SiteSetup::advance(int i) {
  SiteLeg& leg = legs_[i];
  Connection& site = c_.site_conn[i];
  const std::shared_ptr<const TlsContext>& ctx = tls_contexts().for_sites;
  while (!settled(leg.step)) {
    if (leg.step == Step::kHandshake) {
      std::string why;
      const TlsStep s = site.advance_tls(&why);
      if (s == TlsStep::want_read || s == TlsStep::want_write) {
        leg.want = s == TlsStep::want_read ? Want::kRead : Want::kWrite;
        return;
      }
      if (s == TlsStep::failed) return fail(i, why);
      // Both at once: a round trip less, and the site reads the same lines in the same order.
      ask(i, "PBSZ 0\r\nPROT P\r\n", Step::kPbsz);
      continue;
    }
    std::string reply;
    if (!take_reply(leg, reply)) {
      // Small: set-up replies are short, and every page of stack it touches
      // stays with the session's thread for as long as it lives.
      char chunk[kSetupReadBytes];
      const long got = site.read_some(chunk, sizeof chunk, 0);
      if (got < 0 && errno == EAGAIN) return;
      if (got <= 0) return fail(i, "");
      leg.got.append(chunk, static_cast<size_t>(got));
      continue;
    }
    switch (leg.step) {
      case Step::kGreeting:
        leg.greeting = reply;
        // A site that turns the client away says so in its own words, and closes.
        if (reply[0] != '2') {
          leg.step = Step::kTurnedAway;
          break;
        }
        if (!identity_) {
          greeted(i);
          break;
        }
        leg.step = Step::kIdentityAnswer;
        leg.deadline = Clock::now() + reply_limit_;
        break;
      case Step::kIdentityAnswer:
        // Sites that want the identity line take it silently: a 2xx first
        // is the NOOP's own. Stock servers answer it (vsftpd: 530), and the
        // NOOP's answer follows.
        if (reply[0] == '2') {
          greeted(i);
          break;
        }
        log_line('r', "site %d answered the identity line: %s\n", i + 1, first_line(reply).c_str());
        leg.step = Step::kNoopAnswer;
        leg.deadline = Clock::now() + reply_limit_;
        break;
      case Step::kNoopAnswer:
        greeted(i);
        break;
      case Step::kAuth:
        if (reply.compare(0, 3, "234") != 0) return fail(i, "AUTH TLS answered " + first_line(reply));
        c_.site_tls[i] = std::make_shared<TlsSessionStore>();
        // Plain text behind the 234 cannot be part of the protected stream.
        leg.got.clear();
        {
          std::string why;
          if (!ctx || !site.begin_tls(*ctx, c_.site_tls[i], &why, c_.site_tls_name[i])) return fail(i, why);
        }
        leg.step = Step::kHandshake;
        leg.deadline = Clock::now() + std::chrono::seconds(kTlsHandshakeSeconds);
        break;
      case Step::kPbsz:
        if (reply[0] != '2') return fail(i, "PBSZ answered " + first_line(reply));
        leg.step = Step::kProt;
        leg.deadline = Clock::now() + reply_limit_;
        break;
      case Step::kProt:
        if (reply[0] != '2') return fail(i, "PROT answered " + first_line(reply));
        leg.step = Step::kReady;
        break;
      default:
        return;
    }
  }
}

int SiteSetup::first_refusal(bool* known) const {
  for (int i = 0; i < n_; ++i) {
    if (legs_[i].step == Step::kFailed) {
      *known = true;
      return i;
    }
    if (!settled(legs_[i].step)) {
      *known = false;
      return -1;
    }
  }
  *known = true;
  return -1;
}

bool SiteSetup::run() {
  const Config& cfg = config();
  identity_ = cfg.bouncemodedown && cfg.bouncemodedown->find('a') != std::string::npos;
  const char* user = c_.ident_user ? c_.ident_user->c_str() : "*";
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < n_; ++i) {
    legs_[i].deadline = start + reply_limit_;
    if (secure_ && !tls_contexts().for_sites) {
      fail(i, "");
      continue;
    }
    // The identity line stays the first line a site receives. A NOOP behind
    // it marks where its answers end.
    if (identity_ &&
        (session_.send_site_line(i, cfg.rftpdcompatible ? "IDNT %s@%s\r\n" : "AUTH %s@%s\r\n", user,
                                 c_.client_ip.c_str()) < 0 ||
         !session_.send_site(i, "NOOP\r\n")))
      fail(i, "");
  }
  bool ready[kMaxSites];
  for (bool& r : ready) r = true;
  int refused = -1;
  for (;;) {
    for (int i = 0; i < n_; ++i)
      if (ready[i] && !settled(legs_[i].step)) advance(i);
    const Clock::time_point now = Clock::now();
    for (int i = 0; i < n_; ++i)
      if (!settled(legs_[i].step) && now >= legs_[i].deadline)
        fail(i, legs_[i].step == Step::kHandshake ? "timed out" : "");
    bool known = false;
    refused = first_refusal(&known);
    if (known) break;
    Connection* conns[kMaxSites] = {};
    Want wants[kMaxSites] = {};
    Clock::time_point until = now + std::chrono::seconds(kRelayWaitSeconds);
    for (int i = 0; i < n_; ++i) {
      if (settled(legs_[i].step)) continue;
      conns[i] = &c_.site_conn[i];
      wants[i] = legs_[i].want;
      if (legs_[i].deadline < until) until = legs_[i].deadline;
    }
    const long long wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
    // A failed wait is met by each site's next read, which then says why.
    if (wait_any(conns, wants, n_, static_cast<int>(wait_ms), ready) < 0)
      for (int i = 0; i < n_; ++i) ready[i] = conns[i] != nullptr;
  }
  if (refused >= 0 && !secure_) {
    log_line('e', "site %d did not greet %s\n", refused + 1, c_.client_ip.c_str());
    session_.reply_line("421 Site %d is unreachable, try again later.\r\n", refused + 1);
    return false;
  }
  if (refused >= 0) {
    log_line('e', "site %d refused TLS for %s (%s)\n", refused + 1, c_.client_ip.c_str(), legs_[refused].why.c_str());
    session_.reply_line("421 Site %d refused a protected connection, closing.\r\n", refused + 1);
    return false;
  }
  for (int i = 0; i < n_; ++i) rb_.slice[i].assign(legs_[i].greeting + legs_[i].got);
  return true;
}

}  // namespace

bool set_up_sites(Client& c, Session& session, ReplyBuffer& rb, int reply_limit_s, SiteSetupKind kind) {
  SiteSetup setup(c, session, rb, reply_limit_s, kind);
  return setup.run();
}

}  // namespace ferrynet
