#include "ferrynet/core/config.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "ferrynet/core/address.h"
#include "ferrynet/core/limits.h"

namespace ferrynet {

Config& config() {
  static Config instance;
  return instance;
}

int parse_yesno(const char* value, int& field) {
  if (value == nullptr || *value == '\0') return 1;
  int outcome = -1;
  if (strcasecmp(value, "yes") == 0) outcome = 1;
  if (strcasecmp(value, "no") == 0) outcome = 0;
  if (value[0] == '1') outcome = 1;
  if (value[0] == '0') outcome = 0;
  if (outcome < 0) return 1;
  field = outcome;
  return 0;
}

int parse_number(const char* value, uint32_t& field) {
  if (value == nullptr) return 1;
  // Reads like "%lu" (white space, digits up to the first other character),
  // but a value beyond the 32-bit field saturates rather than wrapping, and a
  // minus sign, which "%lu" would wrap into a huge limit, is refused.
  const char* digits = value;
  while (*digits == ' ' || (*digits >= '\t' && *digits <= '\r')) ++digits;
  if (*digits == '-') return 1;
  char* end = nullptr;
  unsigned long n = std::strtoul(value, &end, 10);
  if (end == value) return 1;
  field = n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
  return 0;
}

int parse_text(const char* value, Text& field) {
  field = std::string(value ? value : "");
  return 0;
}

namespace {

// Rows bind a keyword to its field; the lambdas stay capture-free so the table is data.
#define TEXT_ROW(name) {#name, [](const char* v, Config& c) { return parse_text(v, c.name); }}
#define NUMBER_ROW(name) {#name, [](const char* v, Config& c) { return parse_number(v, c.name); }}
#define YESNO_ROW(name) {#name, [](const char* v, Config& c) { return parse_yesno(v, c.name); }}

int parse_cycleip(const char* value, Config& cfg) {
  parse_text(value, cfg.cycleip);
  int blanks = 0;
  for (char ch : *cfg.cycleip) blanks += (ch == ' ');
  // A client has room for three site connections; more entries cannot be served.
  if (blanks + 1 > kMaxSites) return 1;
  cfg.sitecount = blanks + 1;
  return 0;
}

int parse_cyclemode(const char* value, Config& cfg) {
  {
    MutexLock hold(cfg.cycle_lock);
    cfg.cycleindex = -1;
  }
  return parse_text(value, cfg.cyclemode);
}

int parse_die(const char* value, Config&) {
  std::printf("%s\n", value ? value : "");
  std::fflush(stdout);
  std::exit(1);
}

int parse_traffic(const char*, Config&) { return 0; }

int parse_clienttls(const char* value, Config& cfg) {
  static constexpr struct {
    const char* word;
    int mode;
  } kModes[] = {{"no", kClientTlsNo}, {"yes", kClientTlsYes}, {"force", kClientTlsForce},
                {"implicit", kClientTlsImplicit}};
  if (value == nullptr) return 1;
  for (const auto& m : kModes)
    if (strcasecmp(value, m.word) == 0) {
      cfg.clienttls = m.mode;
      return 0;
    }
  return 1;
}

int parse_sitedown(const char* value, Config& cfg) {
  if (value == nullptr) return 1;
  if (strcasecmp(value, "close") == 0)
    cfg.sitedown = kSiteDownClose;
  else if (strcasecmp(value, "degrade") == 0)
    cfg.sitedown = kSiteDownDegrade;
  else
    return 1;
  return 0;
}

int parse_proxyfrom(const char* value, Config& cfg) {
  if (value == nullptr) return 1;
  std::optional<std::vector<AddressBlock>> blocks = parse_address_blocks(value);
  if (!blocks) return 1;
  cfg.proxyfrom = std::move(*blocks);
  return 0;
}

int parse_pasvaddress(const char* value, Config& cfg) {
  in_addr quad{};
  // A dotted quad only: a passive reply has room for nothing else.
  if (value == nullptr || inet_pton(AF_INET, value, &quad) != 1) return 1;
  cfg.pasvaddress = std::string(value);
  return 0;
}

// "low-high", or one port; 1 to 65535, low not above high.
int parse_pasvports(const char* value, Config& cfg) {
  if (value == nullptr) return 1;
  unsigned long bounds[2] = {};
  const char* p = value;
  for (int k = 0; k < 2; ++k) {
    if (*p < '0' || *p > '9') return 1;
    char* end = nullptr;
    bounds[k] = std::strtoul(p, &end, 10);
    p = end;
    if (k == 0 && *p == '\0') {
      bounds[1] = bounds[0];
      break;
    }
    if (k == 0 && *p++ != '-') return 1;
  }
  if (*p != '\0' || bounds[0] == 0 || bounds[0] > bounds[1] || bounds[1] > 65535) return 1;
  cfg.pasvport_low = static_cast<uint16_t>(bounds[0]);
  cfg.pasvport_high = static_cast<uint16_t>(bounds[1]);
  return 0;
}

int parse_metricsaddress(const char* value, Config& cfg) {
  std::string host;
  uint16_t port = 0;
  if (value == nullptr || !split_host_port(value, host, port)) return 1;
  cfg.metricsaddress = std::string(value);
  return 0;
}

bool is_blank(char ch) { return ch == ' ' || ch == '\t' || ch == '\r'; }

// "NAME SITE": SITE counts from 1 in `cycleip` order, as the daemon's
// replies and log lines number the sites.
int parse_section(const char* value, Config& cfg) {
  if (value == nullptr || cfg.sections.size() >= kMaxSections) return 1;
  const char* p = value;
  const char* name_end = p;
  while (*name_end && !is_blank(*name_end)) ++name_end;
  const std::string name(p, name_end);
  p = name_end;
  while (is_blank(*p)) ++p;
  if (*p < '1' || *p > '0' + kMaxSites) return 1;
  const int site = *p++ - '0';
  while (is_blank(*p)) ++p;
  if (*p != '\0' || name.empty() || name.size() > kSectionNameMax || name.find('/') != std::string::npos ||
      name == "." || name == "..")
    return 1;
  for (const SectionSetting& known : cfg.sections)
    if (strcasecmp(known.name.c_str(), name.c_str()) == 0) return 1;
  cfg.sections.push_back({name, site - 1});
  return 0;
}

// The full address is read at start-up, where a wrong one stops the daemon.
int parse_sharedstate(const char* value, Config& cfg) {
  if (value == nullptr || (strncmp(value, "redis://", 8) != 0 && strncmp(value, "unix:///", 8) != 0)) return 1;
  cfg.sharedstate = std::string(value);
  return 0;
}

int parse_sharedstateprefix(const char* value, Config& cfg) {
  if (value == nullptr || *value == '\0' || std::strpbrk(value, " \t\r") != nullptr) return 1;
  cfg.sharedstateprefix = value;
  return 0;
}

int parse_sitepasvaddress(const char* value, Config& cfg) {
  if (value == nullptr) return 1;
  if (strcasecmp(value, "control") == 0)
    cfg.sitepasvaddress = kSitePasvControl;
  else if (strcasecmp(value, "reply") == 0)
    cfg.sitepasvaddress = kSitePasvReply;
  else
    return 1;
  return 0;
}

// One to kMaxSites names separated by blanks; "-" keeps that entry's host.
int parse_sitetlsnames(const char* value, Config& cfg) {
  if (value == nullptr) return 1;
  std::vector<std::string> names;
  const char* p = value;
  for (;;) {
    while (is_blank(*p)) ++p;
    if (*p == '\0') break;
    size_t len = 0;
    while (p[len] && !is_blank(p[len])) ++len;
    if (names.size() == static_cast<size_t>(kMaxSites)) return 1;
    std::string name(p, len);
    names.push_back(name == "-" ? std::string() : name);
    p += len;
  }
  if (names.empty()) return 1;
  cfg.sitetlsnames = std::move(names);
  return 0;
}

}  // namespace

bool split_host_port(const std::string& value, std::string& host, uint16_t& port) {
  size_t colon;
  if (!value.empty() && value[0] == '[') {
    const size_t close = value.find(']');
    if (close == std::string::npos || close + 1 >= value.size() || value[close + 1] != ':') return false;
    host = value.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = value.rfind(':');
    if (colon == std::string::npos) return false;
    host = value.substr(0, colon);
    // A bare IPv6 address would be cut at its last colon.
    if (host.find(':') != std::string::npos) return false;
  }
  const std::string digits = value.substr(colon + 1);
  if (host.empty() || digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long n = std::strtoul(digits.c_str(), nullptr, 10);
  if (n > 65535) return false;
  port = static_cast<uint16_t>(n);
  return true;
}

const ConfigKeyword ConfigKeywordTable[] = {
    YESNO_ROW(bouncedata),
    TEXT_ROW(bouncemodedown),
    TEXT_ROW(bouncemodeup),
    YESNO_ROW(checkident),
    {"clienttls", parse_clienttls},
    NUMBER_ROW(connectiontimeout),
    TEXT_ROW(connip),
    {"cycleip", parse_cycleip},
    {"cyclemode", parse_cyclemode},
    NUMBER_ROW(datdirection),
    {"die", parse_die},
    YESNO_ROW(fork),
    TEXT_ROW(ip),
    YESNO_ROW(logclean),
    TEXT_ROW(logfile),
    NUMBER_ROW(logintimeout),
    TEXT_ROW(log),
    NUMBER_ROW(maxclientsperip),
    NUMBER_ROW(maxclients),
    NUMBER_ROW(maxsimulctl),
    NUMBER_ROW(maxsimuldat),
    NUMBER_ROW(maxtrafficdown),
    NUMBER_ROW(maxtrafficup),
    NUMBER_ROW(maxtraffic),
    {"metricsaddress", parse_metricsaddress},
    {"pasvaddress", parse_pasvaddress},
    {"pasvports", parse_pasvports},
    NUMBER_ROW(passive),
    TEXT_ROW(pidfile),
    NUMBER_ROW(port),
    {"proxyfrom", parse_proxyfrom},
    TEXT_ROW(reconfigpass),
    NUMBER_ROW(replytimeout),
    YESNO_ROW(rftpdcompatible),
    {"section", parse_section},
    {"sharedstate", parse_sharedstate},
    {"sharedstateprefix", parse_sharedstateprefix},
    TEXT_ROW(siteip),
    {"sitedown", parse_sitedown},
    {"sitepasvaddress", parse_sitepasvaddress},
    NUMBER_ROW(siteport),
    NUMBER_ROW(sitekeepalive),
    YESNO_ROW(sitetls),
    TEXT_ROW(sitetlsca),
    {"sitetlsnames", parse_sitetlsnames},
    NUMBER_ROW(speedglobalmeasure),
    NUMBER_ROW(speedglobal),
    TEXT_ROW(tlscertfile),
    TEXT_ROW(tlskeyfile),
    {"traffic", parse_traffic},
};
const int ConfigKeywordCount = sizeof ConfigKeywordTable / sizeof ConfigKeywordTable[0];
static_assert(sizeof ConfigKeywordTable / sizeof ConfigKeywordTable[0] == 50);

#undef TEXT_ROW
#undef NUMBER_ROW
#undef YESNO_ROW

namespace {

// The key is the whole run up to the first blank or tab; a row matches only
// when its keyword is exactly that run, so "log" never selects "logfile".
const ConfigKeyword* find_row(const char* line) {
  size_t key_len = std::strcspn(line, " \t");
  for (int i = 0; i < ConfigKeywordCount; ++i) {
    const char* kw = ConfigKeywordTable[i].keyword;
    if (std::strlen(kw) == key_len && std::strncmp(kw, line, key_len) == 0) return &ConfigKeywordTable[i];
  }
  return nullptr;
}

const char* find_value(const char* line) {
  const char* p = line + std::strcspn(line, " \t\n");
  if (*p != ' ' && *p != '\t') return nullptr;
  while (*p == ' ' || *p == '\t') ++p;
  return *p ? p : nullptr;
}

}  // namespace

int read_config(const char* path, Config& cfg) {
  FILE* f = std::fopen(path, "re");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot open configuration file %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  long line_no = 0;
  char line[kConfigLineBuffer];
  for (;;) {
    std::memset(line, 0, sizeof line);
    if (std::fgets(line, kConfigLineMax + 1, f) == nullptr) break;
    if (line[0] == '!') break;
    for (char* p = line; *p; ++p)
      if (*p == '\n') *p = '\0';
    ++line_no;
    const char* rest = line;
    while (*rest == ' ' || *rest == '\t') ++rest;
    if (*rest == '\0' || *rest == '#') continue;
    const ConfigKeyword* row = find_row(line);
    if (row == nullptr) {
      std::fprintf(stderr, "[%03ld]: %s: unknown option\n", line_no, line);
      std::fclose(f);
      return 1;
    }
    int code = row->parse(find_value(line), cfg);
    if (code != 0) {
      std::fprintf(stderr, "[%03ld]: %s: %d\n", line_no, row->keyword, code);
      std::fclose(f);
      return 1;
    }
  }
  // A read error is not the end of the file: the settings after it were never seen.
  if (std::ferror(f)) {
    int err = errno;
    std::fclose(f);
    std::fprintf(stderr, "cannot open configuration file %s: %s\n", path, std::strerror(err));
    return 1;
  }
  std::fclose(f);
  return 0;
}

namespace {

// A value that reads well but leaves the daemon unable to serve anyone:
// found before the daemon starts, where the operator sees it.
struct Refusal {
  std::string value;  // as configured; empty: the key is missing
  std::string why;
};
using ConfigCheck = std::optional<Refusal> (*)(const Config& cfg);

struct ConfigCheckRow {
  const char* keyword;
  ConfigCheck check;
};

// Sites are chosen from `cycleip` unless `siteip` names the one site.
bool cycles(const Config& cfg) { return !cfg.siteip && cfg.cycleip; }

std::optional<Refusal> check_cycleip(const Config& cfg) {
  if (!cycles(cfg)) return std::nullopt;
  const std::string& list = *cfg.cycleip;
  size_t start = 0;
  for (int entry = 1; start <= list.size(); ++entry) {
    size_t end = list.find(' ', start);
    if (end == std::string::npos) end = list.size();
    const std::string text = list.substr(start, end - start);
    start = end + 1;
    // An IPv6 literal is bracketed and holds colons of its own.
    size_t colon = text.find(text.compare(0, 1, "[") == 0 ? "]:" : ":");
    if (colon != std::string::npos && text[0] == '[') ++colon;
    std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (!port.empty() && port.back() == '\r' && end == list.size()) port.pop_back();
    const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    const unsigned long n = digits ? std::strtoul(port.c_str(), nullptr, 10) : 0;
    if (text.empty())
      return Refusal{list, "entry " + std::to_string(entry) + " is empty (entries are host:port, one blank apart)"};
    if (colon == std::string::npos || colon == 0 || !digits || n == 0 || n > 65535)
      return Refusal{list, "entry " + std::to_string(entry) + " \"" + text + "\" is not host:port with a port of 1 to 65535"};
  }
  return std::nullopt;
}

std::optional<Refusal> check_cyclemode(const Config& cfg) {
  if (!cycles(cfg)) return std::nullopt;
  if (!cfg.cyclemode) return Refusal{"", "missing: cycleip needs l, r or t"};
  if (cfg.cyclemode->find_first_of("lrt") == std::string::npos)
    return Refusal{*cfg.cyclemode, "names none of l, r and t"};
  return std::nullopt;
}

std::optional<Refusal> check_bouncemodedown(const Config& cfg) {
  if (cycles(cfg) && cfg.bouncemodedown->find('c') == std::string::npos)
    return Refusal{*cfg.bouncemodedown, "has no c, without which cycleip is not used"};
  return std::nullopt;
}

std::optional<Refusal> check_connip(const Config& cfg) {
  const std::string& a = *cfg.connip;
  if (a == "*") return std::nullopt;
  // Digits and dots are an address as written, never a name to look up.
  const bool numeric = !a.empty() && a.find_first_not_of("0123456789.") == std::string::npos;
  const bool usable = numeric ? inet_addr(a.c_str()) != INADDR_NONE : Address::resolve(a.c_str(), 0).has_value();
  if (!usable) return Refusal{a, "is neither * nor an address of this host"};
  return std::nullopt;
}

std::optional<Refusal> check_sections(const Config& cfg) {
  for (const SectionSetting& s : cfg.sections)
    if (s.site >= cfg.sitecount)
      return Refusal{s.name + " " + std::to_string(s.site + 1),
                     "names site " + std::to_string(s.site + 1) + " of " + std::to_string(cfg.sitecount)};
  return std::nullopt;
}

// Rows run in order after the required keys are known present.
constexpr ConfigCheckRow ConfigCheckTable[] = {
    {"cycleip", check_cycleip},
    {"cyclemode", check_cyclemode},
    {"bouncemodedown", check_bouncemodedown},
    {"connip", check_connip},
    {"section", check_sections},
};

}  // namespace

int check_config(Config& cfg) {
  if (!cfg.bouncemodeup || !cfg.bouncemodedown || !cfg.ip || !cfg.connip) return 0;
  if (cfg.siteip) {
    if (cfg.cycleip) return 0;
    if (cfg.bouncemodedown->find('c') != std::string::npos) return 0;
  }
  if ((cfg.port & 0xffff) == 0) return 0;
  if (cfg.siteip) cfg.sitecount = 1;
  // Without any site a client would have nowhere to send its commands.
  if (cfg.sitecount <= 0) return 0;
  for (const ConfigCheckRow& row : ConfigCheckTable) {
    std::optional<Refusal> r = row.check(cfg);
    if (!r) continue;
    if (r->value.empty())
      std::fprintf(stderr, "%s %s\n", row.keyword, r->why.c_str());
    else
      std::fprintf(stderr, "%s \"%s\" %s\n", row.keyword, r->value.c_str(), r->why.c_str());
    return 0;
  }
  return 1;
}

}  // namespace ferrynet
