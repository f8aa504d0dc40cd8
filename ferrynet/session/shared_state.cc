#include "ferrynet/session/shared_state.h"

#include <hiredis/hiredis.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "ferrynet/core/log.h"
#include "ferrynet/core/metrics.h"
#include "ferrynet/session/site_health.h"

namespace ferrynet {

namespace {

using Clock = std::chrono::steady_clock;

// Whatever the store held for a session that no instance refreshes is gone
// within the expiry; each instance renews its own keys every third of it.
constexpr std::chrono::seconds kRefreshEvery{SharedState::kExpirySeconds / 3};
constexpr std::chrono::seconds kRetryEvery{1};

// Counts the session for its address, then sums the address over every
// instance seen within the expiry; the sites' state rides along so that a
// session starts with what the other instances learnt.
constexpr const char* kBeginScript = R"(
local p, inst, host, now, ttl, sites = ARGV[1], ARGV[2], ARGV[3], tonumber(ARGV[4]), tonumber(ARGV[5]), tonumber(ARGV[6])
local mine = p .. ':count:' .. inst
redis.call('HINCRBY', mine, host, 1)
redis.call('EXPIRE', mine, ttl)
redis.call('ZADD', p .. ':instances', now, inst)
local total = 0
for _, i in ipairs(redis.call('ZRANGEBYSCORE', p .. ':instances', now - ttl, '+inf')) do
  total = total + (tonumber(redis.call('HGET', p .. ':count:' .. i, host)) or 0)
end
local out = {tostring(total)}
for s = 1, sites do
  local k = p .. ':site:' .. s
  out[#out + 1] = redis.call('GET', k) or ''
  out[#out + 1] = tostring(redis.call('PTTL', k))
end
return out
)";

constexpr const char* kEndScript = R"(
local mine = ARGV[1] .. ':count:' .. ARGV[2]
if redis.call('HINCRBY', mine, ARGV[3], -1) <= 0 then redis.call('HDEL', mine, ARGV[3]) end
redis.call('HDEL', ARGV[1] .. ':presence:' .. ARGV[2], ARGV[4])
return 1
)";

constexpr const char* kLoginScript = R"(
local k = ARGV[1] .. ':presence:' .. ARGV[2]
redis.call('HSET', k, ARGV[3], ARGV[4])
redis.call('EXPIRE', k, ARGV[5])
return 1
)";

constexpr const char* kHiddenScript = R"(
local p, inst, now, ttl = ARGV[1], ARGV[2], tonumber(ARGV[3]), tonumber(ARGV[4])
local out = {}
for _, i in ipairs(redis.call('ZRANGEBYSCORE', p .. ':instances', now - ttl, '+inf')) do
  if i ~= inst then
    for _, v in ipairs(redis.call('HVALS', p .. ':presence:' .. i)) do out[#out + 1] = v end
  end
end
return out
)";

// One command per instance per refresh, however many sessions it holds.
constexpr const char* kRefreshScript = R"(
local p, inst, now, ttl = ARGV[1], ARGV[2], tonumber(ARGV[3]), tonumber(ARGV[4])
redis.call('EXPIRE', p .. ':presence:' .. inst, ttl)
redis.call('EXPIRE', p .. ':count:' .. inst, ttl)
redis.call('ZADD', p .. ':instances', now, inst)
redis.call('ZREMRANGEBYSCORE', p .. ':instances', '-inf', now - ttl)
return 1
)";

std::string wall_seconds() {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count());
}

std::string make_instance_name() {
  std::random_device rd;
  char name[48];
  std::snprintf(name, sizeof name, "%ld-%08x%08x", static_cast<long>(::getpid()), rd(), rd());
  return name;
}

timeval as_timeval(std::chrono::milliseconds ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
  return tv;
}

bool all_digits(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char ch : s)
    if (ch < '0' || ch > '9') return false;
  return true;
}

}  // namespace

std::optional<StoreAddress> parse_store_address(const std::string& url) {
  StoreAddress a;
  static const std::string kUnix = "unix://", kRedis = "redis://";
  if (url.compare(0, kUnix.size(), kUnix) == 0) {
    a.path = url.substr(kUnix.size());
    if (a.path.size() < 2 || a.path[0] != '/') return std::nullopt;
    return a;
  }
  if (url.compare(0, kRedis.size(), kRedis) != 0) return std::nullopt;
  std::string rest = url.substr(kRedis.size());
  if (const size_t slash = rest.find('/'); slash != std::string::npos) {
    const std::string db = rest.substr(slash + 1);
    if (!all_digits(db)) return std::nullopt;
    a.db = std::atoi(db.c_str());
    rest.resize(slash);
  }
  size_t colon = rest.rfind(':');
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return std::nullopt;
    a.host = rest.substr(1, close - 1);
    rest = rest.substr(close + 1);
    colon = rest.empty() ? std::string::npos : 0;
    if (!rest.empty() && rest[0] != ':') return std::nullopt;
  } else {
    a.host = rest.substr(0, colon);
  }
  if (colon != std::string::npos) {
    const std::string port = rest.substr(colon + 1);
    if (!all_digits(port) || std::atoi(port.c_str()) < 1 || std::atoi(port.c_str()) > 65535) return std::nullopt;
    a.port = std::atoi(port.c_str());
  }
  if (a.host.empty()) return std::nullopt;
  return a;
}

struct SharedState::Reply {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  bool ok = false;
  std::vector<std::string> items;
};

SharedState::SharedState(const StoreAddress& where, std::string prefix, int sites, SiteHealth* health)
    : where_(where), prefix_(std::move(prefix)), instance_(make_instance_name()), sites_(sites), health_(health) {
  if (health_)
    health_->set_observer([this](int site, bool up, std::chrono::milliseconds backoff) {
      site_changed(site, up, backoff);
    });
  thread_ = std::thread([this] { run(); });
}

SharedState::~SharedState() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  if (health_) health_->set_observer(nullptr);
  if (ctx_) redisFree(static_cast<redisContext*>(ctx_));
}

std::string SharedState::key(const char* kind, const std::string& name) const {
  std::string k = prefix_ + ":" + kind;
  if (!name.empty()) k += ":" + name;
  return k;
}

std::shared_ptr<SharedState::Reply> SharedState::call(std::vector<std::string> args, bool wait) {
  std::shared_ptr<Reply> reply = wait ? std::make_shared<Reply>() : nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    // Away: the local tables are written whole when the store returns.
    if (!connected_) return nullptr;
    queue_.push_back(Job{std::move(args), epoch_, reply});
  }
  wake_.notify_one();
  if (!reply) return nullptr;
  std::unique_lock<std::mutex> hold(reply->m);
  if (!reply->cv.wait_for(hold, kBound, [&] { return reply->done; }) || !reply->ok) return nullptr;
  return reply;
}

uint32_t SharedState::begin(uint64_t session, const std::string& host) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    live_[session] = Live{host, std::string()};
  }
  std::shared_ptr<Reply> r = call({"EVAL", kBeginScript, "0", prefix_, instance_, host, wall_seconds(),
                                   std::to_string(kExpirySeconds), std::to_string(sites_)},
                                  true);
  if (!r || r->items.empty()) return 0;
  if (health_) {
    for (int s = 0; s < sites_ && 2 + 2 * static_cast<size_t>(s) < r->items.size(); ++s) {
      const std::string& state = r->items[1 + 2 * static_cast<size_t>(s)];
      const long long left = std::atoll(r->items[2 + 2 * static_cast<size_t>(s)].c_str());
      if (state == "down" && left > 0)
        health_->adopt_down(s, std::chrono::milliseconds(left));
      else if (state == "up")
        health_->adopt_up(s);
    }
  }
  return static_cast<uint32_t>(std::strtoul(r->items[0].c_str(), nullptr, 10));
}

void SharedState::logged_in(uint64_t session, std::string hidden) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = live_.find(session);
    if (it == live_.end()) return;
    it->second.hidden = hidden;
  }
  if (hidden.empty()) return;
  call({"EVAL", kLoginScript, "0", prefix_, instance_, std::to_string(session), std::move(hidden),
        std::to_string(kExpirySeconds)},
       false);
}

void SharedState::end(uint64_t session) {
  std::string host;
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = live_.find(session);
    if (it == live_.end()) return;
    host = std::move(it->second.host);
    live_.erase(it);
  }
  call({"EVAL", kEndScript, "0", prefix_, instance_, host, std::to_string(session)}, false);
}

std::optional<HiddenIds> SharedState::hidden_elsewhere() {
  std::shared_ptr<Reply> r = call(
      {"EVAL", kHiddenScript, "0", prefix_, instance_, wall_seconds(), std::to_string(kExpirySeconds)}, true);
  if (!r) return std::nullopt;
  HiddenIds ids;
  for (const std::string& words : r->items) {
    const char* p = words.c_str();
    for (;;) {
      char* end = nullptr;
      const long site = std::strtol(p, &end, 10);
      if (end == p || *end != ':') break;
      p = end + 1;
      const long id = std::strtol(p, &end, 10);
      if (end == p) break;
      ids.insert(hidden_key(static_cast<int>(site), static_cast<int>(id)));
      p = end;
      while (*p == ' ') ++p;
    }
  }
  return ids;
}

void SharedState::site_changed(int site, bool up, std::chrono::milliseconds backoff) {
  const long long ms = up ? std::chrono::milliseconds(kRefreshEvery * 6).count() : backoff.count();
  if (ms <= 0) return;
  call({"SET", key("site", std::to_string(site + 1)), up ? "up" : "down", "PX", std::to_string(ms)}, false);
}

void SharedState::write_metrics(std::string& out) const {
  write_family(out, "ferrynet_sharedstate_up", "gauge", "1 while the shared state store answers.");
  out += "ferrynet_sharedstate_up " + std::to_string(up() ? 1 : 0) + "\n";
  write_family(out, "ferrynet_sharedstate_errors_total", "counter",
               "Calls to the shared state store that failed or ran past their bound.");
  out += "ferrynet_sharedstate_errors_total " + std::to_string(errors()) + "\n";
}

void SharedState::lost(const char* reason) {
  if (ctx_) redisFree(static_cast<redisContext*>(ctx_));
  ctx_ = nullptr;
  std::deque<Job> dropped;
  {
    std::lock_guard<std::mutex> hold(lock_);
    connected_ = false;
    dropped.swap(queue_);
  }
  for (Job& j : dropped)
    if (j.reply) {
      std::lock_guard<std::mutex> hold(j.reply->m);
      j.reply->done = true;
      j.reply->cv.notify_all();
    }
  up_.store(false, std::memory_order_relaxed);
  errors_.fetch_add(1, std::memory_order_relaxed);
  if (!said_down_) {
    log_line('e', "shared state unavailable: %s\n", reason);
    said_down_ = true;
  }
}

bool SharedState::connect() {
  const timeval bound = as_timeval(kBound);
  redisContext* c = where_.host.empty() ? redisConnectUnixWithTimeout(where_.path.c_str(), bound)
                                        : redisConnectWithTimeout(where_.host.c_str(), where_.port, bound);
  if (c == nullptr) {
    lost("out of memory");
    return false;
  }
  ctx_ = c;
  if (c->err) {
    const std::string why = c->errstr;
    lost(why.c_str());
    return false;
  }
  redisSetTimeout(c, bound);
  std::vector<Job> jobs;
  if (where_.db != 0) jobs.push_back(Job{{"SELECT", std::to_string(where_.db)}, 0, nullptr});
  // Written whole, so that a store that lost everything (a restart) holds
  // this instance's sessions again.
  std::unordered_map<std::string, long> counts;
  std::vector<std::string> presence{"HSET", key("presence", instance_)};
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++epoch_;
    connected_ = true;
    for (const auto& [session, live] : live_) {
      ++counts[live.host];
      if (!live.hidden.empty()) {
        presence.push_back(std::to_string(session));
        presence.push_back(live.hidden);
      }
    }
  }
  const std::string ttl = std::to_string(kExpirySeconds);
  jobs.push_back(Job{{"DEL", key("presence", instance_), key("count", instance_)}, 0, nullptr});
  if (presence.size() > 2) jobs.push_back(Job{std::move(presence), 0, nullptr});
  std::vector<std::string> count{"HSET", key("count", instance_)};
  for (const auto& [host, n] : counts) {
    count.push_back(host);
    count.push_back(std::to_string(n));
  }
  if (count.size() > 2) jobs.push_back(Job{std::move(count), 0, nullptr});
  jobs.push_back(Job{{"EVAL", kRefreshScript, "0", prefix_, instance_, wall_seconds(), ttl}, 0, nullptr});
  if (!send(jobs)) return false;
  up_.store(true, std::memory_order_relaxed);
  if (said_down_) log_line('i', "shared state back\n");
  said_down_ = false;
  return true;
}

bool SharedState::send(std::vector<Job>& jobs) {
  auto* c = static_cast<redisContext*>(ctx_);
  for (const Job& j : jobs) {
    std::vector<const char*> argv;
    std::vector<size_t> lens;
    for (const std::string& a : j.args) {
      argv.push_back(a.data());
      lens.push_back(a.size());
    }
    redisAppendCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data());
  }
  bool fine = true;
  for (Job& j : jobs) {
    void* raw = nullptr;
    if (fine && redisGetReply(c, &raw) != REDIS_OK) fine = false;
    auto* reply = static_cast<redisReply*>(raw);
    bool ok = fine && reply != nullptr && reply->type != REDIS_REPLY_ERROR;
    if (fine && !ok) {
      errors_.fetch_add(1, std::memory_order_relaxed);
      log_line('e', "shared state store refused a command: %s\n", reply ? reply->str : "no reply");
    }
    if (j.reply) {
      std::lock_guard<std::mutex> hold(j.reply->m);
      if (ok && reply->type == REDIS_REPLY_ARRAY) {
        for (size_t k = 0; k < reply->elements; ++k) {
          const redisReply* e = reply->element[k];
          j.reply->items.push_back(e->type == REDIS_REPLY_INTEGER ? std::to_string(e->integer)
                                   : e->str                       ? std::string(e->str, e->len)
                                                                  : std::string());
        }
      }
      j.reply->ok = ok;
      j.reply->done = true;
      j.reply->cv.notify_all();
    }
    if (reply) freeReplyObject(reply);
  }
  if (!fine) {
    const std::string why = c->err ? c->errstr : "no answer";
    lost(why.c_str());
  }
  return fine;
}

void SharedState::run() {
  Clock::time_point next_refresh = Clock::now() + kRefreshEvery;
  for (;;) {
    if (ctx_ == nullptr) {
      if (connect()) {
        next_refresh = Clock::now() + kRefreshEvery;
      } else {
        std::unique_lock<std::mutex> hold(lock_);
        if (wake_.wait_for(hold, kRetryEvery, [&] { return stopping_; })) return;
        continue;
      }
    }
    std::vector<Job> jobs;
    {
      std::unique_lock<std::mutex> hold(lock_);
      wake_.wait_until(hold, next_refresh, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      for (Job& j : queue_)
        if (j.epoch == epoch_) jobs.push_back(std::move(j));
      queue_.clear();
    }
    if (Clock::now() >= next_refresh) {
      jobs.push_back(Job{{"EVAL", kRefreshScript, "0", prefix_, instance_, wall_seconds(),
                          std::to_string(kExpirySeconds)},
                         0, nullptr});
      next_refresh = Clock::now() + kRefreshEvery;
    }
    if (!jobs.empty()) send(jobs);
  }
}

}  // namespace ferrynet
