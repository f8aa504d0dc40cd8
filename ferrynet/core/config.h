// The daemon's one configuration record and the reading of its file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "ferrynet/core/address_block.h"
#include "ferrynet/core/limits.h"
#include "ferrynet/core/mutex.h"

namespace ferrynet {

using Text = std::optional<std::string>;  // absent, or present (possibly empty)

// How clients reach the daemon: plain only, TLS on request (AUTH TLS),
// TLS required before login, or TLS from the first byte.
enum ClientTls : int { kClientTlsNo = 0, kClientTlsYes, kClientTlsForce, kClientTlsImplicit };

// What a site that cannot be reached does to the sessions: ends them (and
// turns logins away), or leaves them to go on with the other sites.
enum SiteDown : int { kSiteDownClose = 0, kSiteDownDegrade };

// Where a site's data port is reached: at its control connection's address,
// or at the address its passive reply names.
enum SitePasvAddress : int { kSitePasvControl = 0, kSitePasvReply };

// A top-level directory and the site slot (0-based) that holds it.
struct SectionSetting {
  std::string name;
  int site = 0;
};

struct Config {
  // Transfers outside "/" pass through the daemon too, for clients that
  // ignore the address of a passive reply.
  int bouncedata = 0;
  Text bouncemodedown;
  Text bouncemodeup;
  uint32_t datdirection = 0;
  int fork = 0;
  int detached = 0;
  Text ip;
  Text connip;
  Text log;
  FILE* logstream = nullptr;
  Text logfile;
  int logclean = 0;
  int checkident = 0;
  int rftpdcompatible = 0;
  uint32_t connectiontimeout = 0;
  uint32_t maxsimulctl = 0;
  uint32_t maxsimuldat = 0;
  uint32_t maxtraffic = 0;
  uint32_t maxtrafficup = 0;
  uint32_t maxtrafficdown = 0;
  uint32_t passive = 0;
  uint32_t port = 0;
  Text reconfigpass;
  Text siteip;
  uint32_t siteport = 0;
  Text cycleip;
  Text cyclemode;
  // Moved by client threads; every choice of site addresses holds cycle_lock.
  int32_t cycleindex GUARDED_BY(cycle_lock) = 0;
  int32_t sitecount = 0;
  pid_t pid = 0;
  Text pidfile;
  uint32_t speedglobal = 0;
  uint32_t speedglobalmeasure = 0;
  Text tlscertfile;  // PEM chain shown to clients
  Text tlskeyfile;
  int clienttls = kClientTlsNo;
  int sitetls = 0;   // AUTH TLS on every site connection
  Text sitetlsca;    // absent: the sites' certificates are not verified
  // The name each cycleip entry's certificate is checked against, in entry
  // order; empty (given as "-") or missing: the entry's host.
  std::vector<std::string> sitetlsnames;
  int sitepasvaddress = kSitePasvControl;
  // Shedding of clients that would otherwise hold descriptors for ever.
  uint32_t logintimeout = kDefaultLoginSeconds;  // seconds to complete a login; 0: no limit
  uint32_t maxclients = 0;                       // 0: as many as the descriptor limit holds
  uint32_t maxclientsperip = kDefaultClientsPerHost;  // 0: no limit
  uint32_t replytimeout = kDefaultReplySeconds;  // seconds an awaited site may stay silent; 0: no limit
  // Seconds a site's control connection may carry nothing before it is sent
  // a NOOP, so that sites that close idle sessions keep the ones a long
  // transfer elsewhere leaves idle; 0: never.
  uint32_t sitekeepalive = kDefaultSiteKeepaliveSeconds;
  // Load balancers whose connections begin with a PROXY header naming the
  // client; empty: no peer is trusted to name another.
  std::vector<AddressBlock> proxyfrom;
  // Behind NAT: the IPv4 address the daemon's own passive replies announce.
  Text pasvaddress;
  bool pasvaddress_local = false;  // no key: set at start when pasvaddress can be bound here
  // The ports of the daemon's own passive listeners; 0 and 0: any the system gives.
  uint16_t pasvport_low = 0;
  uint16_t pasvport_high = 0;
  // Where the metrics and health endpoint listens: "host:port" or
  // "[v6 address]:port"; absent: no endpoint and nothing counted.
  Text metricsaddress;
  int sitedown = kSiteDownClose;
  // `section` lines in file order; none: the built-in table holds.
  std::vector<SectionSetting> sections;
  // The store several instances share presence, per-address counts and
  // site health through; absent: each instance alone.
  Text sharedstate;
  std::string sharedstateprefix = "ferrynet";

  Mutex cycle_lock;
};

// The process-wide record: filled once at start-up, then read by every thread.
Config& config();

using ValueParser = int (*)(const char* value, Config& cfg);

struct ConfigKeyword {
  const char* keyword;
  ValueParser parse;
};

extern const ConfigKeyword ConfigKeywordTable[];
extern const int ConfigKeywordCount;

int parse_yesno(const char* value, int& field);
int parse_number(const char* value, uint32_t& field);
int parse_text(const char* value, Text& field);
// Splits "host:port" or "[v6 address]:port"; false when it is neither.
bool split_host_port(const std::string& value, std::string& host, uint16_t& port);

// 0 on success; 1 after printing the reason on standard error.
int read_config(const char* path, Config& cfg);
// 1 when the record is usable, 0 when not; a value that reads well but
// would leave the daemon serving no one is named on standard error.
int check_config(Config& cfg);

}  // namespace ferrynet
