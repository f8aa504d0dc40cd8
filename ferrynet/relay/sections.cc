#include "ferrynet/relay/sections.h"

#include <strings.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ferrynet/core/config.h"

namespace ferrynet {

const SectionRow SectionTable[] = {
    {"VCD", 1},     {"SVCD", 1},    {"DIVX", 1}, {"FREE", 0}, {"GROUPS", 0}, {"REQUESTS", 1},
    {"PRIVATE", 0}, {"GAMES", 0},   {"APPS", 0}, {"XXX", 0},  {"DOX", 0},
};
const int SectionCount = sizeof SectionTable / sizeof SectionTable[0];

namespace {

constexpr const char kNoSuchSection[] = "550 Sorry, No Such Section in Config ;)";

bool copy_out(const std::string& s, char* out, size_t size) {
  if (s.size() + 1 > size) return false;
  std::memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

std::string normalised(std::string_view p) {
  const bool absolute = !p.empty() && (p[0] == '/' || p[0] == '\\');
  std::vector<std::string_view> kept;
  size_t pos = 0;
  while (pos <= p.size()) {
    size_t slash = p.find('/', pos);
    if (slash == std::string_view::npos) slash = p.size();
    std::string_view part = p.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(part);
  }
  std::string out;
  if (kept.empty()) return absolute ? "/" : "";
  if (absolute) out += '/';
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i) out += '/';
    out += kept[i];
  }
  return out;
}

}  // namespace

bool normalise(char* path, size_t size) { return copy_out(normalised(std::string_view(path, strnlen(path, size))), path, size); }

bool resolve(char* cwd, size_t cwd_size, char* arg, size_t size) {
  std::string_view a(arg, strnlen(arg, size));
  if (!a.empty() && (a[0] == '/' || a[0] == '\\')) return normalise(arg, size);
  if (!normalise(cwd, cwd_size)) return false;
  std::string joined = std::strcmp(cwd, "/") == 0 ? std::string("/") : std::string(cwd) + "/";
  joined.append(a);
  return copy_out(normalised(joined), arg, size);
}

CommandResult section_shortcut(Session& s, std::string_view line) {
  RelayState& st = s.state();
  const int n = s.site_count();
  bool fits = true;
  int site = -1;
  if (strncasecmp(st.last_command, "CDUP", 4) == 0) {
    std::strcpy(st.new_dir, "..");
  } else {
    std::string_view arg = line.size() > 4 ? line.substr(4) : std::string_view();
    // Lines normally end in CR; one that came with a bare LF keeps its last character.
    if (!arg.empty() && arg.back() == '\r') arg.remove_suffix(1);
    fits = copy_out(std::string(arg), st.new_dir, sizeof st.new_dir);
  }
  // A target that does not fit a directory field cannot name a section.
  if (fits) fits = resolve(st.cwd, sizeof st.cwd, st.new_dir, sizeof st.new_dir);
  if (!fits) st.new_dir[0] = '\0';

  if (fits && std::strcmp(st.new_dir, "/") == 0) {
    for (int i = 0; i < n; ++i) s.relay_line(i, line);
    s.await_every_site();
    return CommandResult::kHandled;
  }

  if (fits) site = section_site(st.new_dir, s.configured_sites());
  if (site >= 0 && s.slot_of(site) < 0) {
    s.say_site_down(site);
    return CommandResult::kHandled;
  }
  site = s.slot_of(site);
  if (site < 0) {
    s.reply_line("%s\r\n", kNoSuchSection);
    // Nothing was sent, so no site owes an answer.
    s.await_no_site();
    return CommandResult::kHandled;
  }
  st.current_site = site;
  s.relay_line(site, line);
  s.await_only(site);
  return CommandResult::kHandled;
}

namespace {

bool names_section(std::string_view top, const char* name, size_t len) {
  return top.size() == len && strncasecmp(top.data(), name, len) == 0;
}

}  // namespace

int section_site(const char* absolute_path, int sites) {
  if (absolute_path == nullptr || absolute_path[0] != '/') return -1;
  std::string_view top(absolute_path + 1);
  top = top.substr(0, top.find('/'));
  int site = -1;
  // The `section` lines, when there are any, replace the built-in table.
  const std::vector<SectionSetting>& configured = config().sections;
  for (const SectionSetting& row : configured)
    if (row.site < sites && names_section(top, row.name.data(), row.name.size())) site = row.site;
  if (!configured.empty()) return site;
  for (int k = 0; k < SectionCount; ++k)
    // Rows for a site this client is not connected to name no section here.
    if (SectionTable[k].site < sites && names_section(top, SectionTable[k].name, std::strlen(SectionTable[k].name)))
      site = SectionTable[k].site;
  return site;
}

}  // namespace ferrynet
