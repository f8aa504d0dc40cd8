#include "ferrynet/relay/path_routing.h"

#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ferrynet/core/limits.h"
#include "ferrynet/relay/command_handlers.h"
#include "ferrynet/relay/sections.h"

namespace ferrynet {

namespace {

constexpr const char kRestNotOffset[] = "501 REST takes a decimal byte offset.\r\n";

// Digits only, of a value a file offset can hold.
bool decimal_offset(std::string_view arg) {
  if (arg.empty()) return false;
  unsigned long long v = 0;
  for (char ch : arg) {
    if (ch < '0' || ch > '9') return false;
    const unsigned d = static_cast<unsigned>(ch - '0');
    if (v > (static_cast<unsigned long long>(INT64_MAX) - d) / 10) return false;
    v = v * 10 + d;
  }
  return true;
}

std::string_view without_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool starts_with_word(std::string_view line, const char* word) {
  const size_t n = std::strlen(word);
  return line.size() >= n && strncasecmp(line.data(), word, n) == 0;
}

// The command's words before its path: "RETR", "MFMT 20240101000000",
// "PRET RETR" or "SITE CHMOD 755".
int command_words(std::string_view line) {
  if (starts_with_word(line, "SITE ")) return 3;
  return starts_with_word(line, "MFMT ") || starts_with_word(line, "PRET ") ? 2 : 1;
}

// The line with its path replaced by the absolute one: a site other than the
// current one may stand in another directory.
std::string absolute_line(std::string_view line, const PathTarget& t) {
  std::string_view body = without_cr(line);
  std::string out(body.substr(0, t.offset < body.size() ? t.offset : body.size()));
  out += t.absolute;
  if (body.size() != line.size()) out += '\r';
  return out;
}

// The path's target, its section's site given as the session's slot.
// False when the session lacks that site: the client has been told.
bool held_target(Session& s, std::string_view line, int words, PathTarget& t) {
  t = path_target(s.state().cwd, line, words, s.configured_sites());
  if (t.section_site < 0) return true;
  const int slot = s.slot_of(t.section_site);
  if (slot < 0) {
    s.say_site_down(t.section_site);
    return false;
  }
  t.section_site = slot;
  return true;
}

// A REST the client gave at the root goes to the site that carries the
// transfer; the transfer command follows once that site has accepted the
// offset (the relay sends it). A site that refused would otherwise send
// the file from its start to a client that writes it at the offset.
void send_transfer(Session& s, int site, std::string_view line) {
  RelayState& st = s.state();
  if (st.rest_line.empty()) {
    s.relay_line(site, line);
    return;
  }
  s.relay_line(site, st.rest_line);
  st.restart_site = site;
  st.after_restart = std::string(line);
  st.rest_line.clear();
}

CommandResult to_site(Session& s, std::string_view line, const PathTarget& t, int site, bool transfer = false) {
  const std::string absolute = site == s.current_site() || !t.named ? std::string() : absolute_line(line, t);
  const std::string_view out = absolute.empty() ? line : std::string_view(absolute);
  if (transfer)
    send_transfer(s, site, out);
  else
    s.relay_line(site, out);
  s.await_only(site);
  return CommandResult::kHandled;
}

// A file at the root level: the sites are asked in order until one has it.
CommandResult first_holder(Session& s, std::string_view line, const PathTarget& t, bool transfer) {
  RelayState& st = s.state();
  // At "/" every site stands at "/" too, so the line goes out as it came.
  st.fallthrough_line = s.at_root() ? std::string(line) : absolute_line(line, t);
  st.fallthrough_next = s.site_count() > 1 ? 1 : -1;
  st.fallthrough_missing = s.first_missing_site();
  st.decide_on_preliminary = transfer;
  const std::string_view first = 0 == s.current_site() || s.at_root() ? line : std::string_view(st.fallthrough_line);
  if (transfer) {
    st.fallthrough_rest = st.rest_line;
    send_transfer(s, 0, first);
  } else {
    s.relay_line(0, first);
  }
  s.await_only(0);
  return CommandResult::kHandled;
}

CommandResult routed_read(Session& s, std::string_view line, int words, bool transfer) {
  PathTarget t;
  if (!held_target(s, line, words, t)) return CommandResult::kHandled;
  if (!t.named) return CommandResult::kForward;
  if (t.section_site >= 0) {
    if (transfer && s.state().transfer) s.state().transfer->decide_single_site(t.section_site);
    return to_site(s, line, t, t.section_site, transfer);
  }
  return first_holder(s, line, t, transfer);
}

}  // namespace

PathTarget path_target(const char* cwd, std::string_view line, int skip_words, int sites) {
  PathTarget t;
  std::string_view rest = without_cr(line);
  for (int w = 0; w < skip_words; ++w) {
    const size_t blank = rest.find(' ');
    if (blank == std::string_view::npos) return t;
    rest.remove_prefix(blank + 1);
  }
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  // Listing options are not a path.
  while (!rest.empty() && rest.front() == '-') {
    const size_t blank = rest.find(' ');
    if (blank == std::string_view::npos) return t;
    rest.remove_prefix(blank + 1);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  }
  if (rest.empty() || rest.size() >= kDirField) return t;
  char dir[kDirField];
  char arg[kDirField];
  std::snprintf(dir, sizeof dir, "%s", cwd);
  std::memcpy(arg, rest.data(), rest.size());
  arg[rest.size()] = '\0';
  if (!resolve(dir, sizeof dir, arg, sizeof arg)) return t;
  t.named = true;
  t.absolute = arg;
  t.section_site = section_site(arg, sites);
  t.offset = static_cast<size_t>(rest.data() - line.data());
  return t;
}

CommandResult fetch_command(Session& s, std::string_view line) {
  // Outside the root the data connection leads to the current site alone.
  if (!s.at_root()) return CommandResult::kForward;
  return routed_read(s, line, command_words(line), true);
}

CommandResult read_command(Session& s, std::string_view line) {
  return routed_read(s, line, command_words(line), false);
}

CommandResult store_command(Session& s, std::string_view line) {
  if (!s.at_root()) return CommandResult::kForward;
  PathTarget t;
  if (!held_target(s, line, 1, t)) return CommandResult::kHandled;
  const int site = t.named && t.section_site >= 0 ? t.section_site : s.current_site();
  if (s.state().transfer) s.state().transfer->decide_single_site(site);
  return to_site(s, line, t, site, true);
}

CommandResult pre_transfer_command(Session& s, std::string_view line) {
  // Outside the root the transfer itself stays with the current site.
  if (!s.at_root()) return CommandResult::kForward;
  std::string_view announced = without_cr(line).substr(4);
  while (!announced.empty() && announced.front() == ' ') announced.remove_prefix(1);
  // A site that did not hold the file would refuse the announcement, and the
  // client would never send the transfer.
  if (starts_with_word(announced, "RETR ")) return routed_read(s, line, command_words(line), false);
  if (starts_with_word(announced, "STOR ") || starts_with_word(announced, "APPE ")) return change_command(s, line);
  return CommandResult::kForward;
}

CommandResult change_command(Session& s, std::string_view line) {
  PathTarget t;
  if (!held_target(s, line, command_words(line), t)) return CommandResult::kHandled;
  if (!t.named) return CommandResult::kForward;
  const int site = t.section_site >= 0 ? t.section_site : s.current_site();
  if (starts_with_word(line, "RNFR")) s.state().rename_site = site;
  return to_site(s, line, t, site);
}

CommandResult rename_to_command(Session& s, std::string_view line) {
  RelayState& st = s.state();
  const int site = st.rename_site >= 0 && st.rename_site < s.site_count() ? st.rename_site : -1;
  st.rename_site = -1;
  if (site < 0) return change_command(s, line);
  return to_site(s, line, path_target(st.cwd, line, 1, s.configured_sites()), site);
}

CommandResult rest_command(Session& s, std::string_view line) {
  if (!s.at_root()) return CommandResult::kForward;
  std::string_view arg = line.size() > 5 ? line.substr(5) : std::string_view();
  if (!arg.empty() && arg.back() == '\r') arg.remove_suffix(1);
  s.state().rest_line.clear();
  // Kept for a site not chosen yet, so it must be an offset every site reads alike.
  if (!decimal_offset(arg)) {
    s.reply(kRestNotOffset);
    s.await_no_site();
    return CommandResult::kHandled;
  }
  s.state().rest_line = std::string(line);
  s.reply_line("350 Restarting at %.*s. Send STORE or RETRIEVE to go on.\r\n", static_cast<int>(arg.size()), arg.data());
  s.await_no_site();
  return CommandResult::kHandled;
}

CommandResult listing_command(Session& s, std::string_view line) {
  if (!s.at_root()) return CommandResult::kForward;
  PathTarget t;
  if (!held_target(s, line, 1, t)) return CommandResult::kHandled;
  if (t.named && t.section_site >= 0) {
    if (s.state().transfer) s.state().transfer->decide_single_site(t.section_site);
    return to_site(s, line, t, t.section_site);
  }
  return listing_broadcast(s, line);
}

}  // namespace ferrynet
