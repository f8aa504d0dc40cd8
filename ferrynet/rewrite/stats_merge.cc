// The six up- and download tops: one ranking of all sites' users, a user
// listed by several sites shown once with the sites' numbers combined.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ferrynet/rewrite/reply_lines.h"
#include "ferrynet/rewrite/reply_merge.h"

namespace ferrynet {

namespace {

constexpr std::string_view kUserMarker = "200- [";
constexpr std::string_view kClosingMarker = "200- `";
constexpr size_t kNameColumn = 10;
constexpr size_t kGroupColumn = 23;
constexpr size_t kFilesColumn = 47;
constexpr size_t kMegabytesColumn = 54;
constexpr size_t kSpeedColumn = 65;
constexpr const char kRankLine[] = "200- | %.2i %-12s %.22s %7s %8sMB %6sK/s   |";

// Names and groups are kept whole, so two long names that share their first
// characters stay two users; only the output is cut.
struct StatEntry {
  std::string name;
  std::string group;
  int32_t files = 0;
  int32_t megabytes = 0;
  int32_t speed = 0;  // K/s
};

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The number read with "%d" from `col` up to the next `unit` letter.
int32_t number_before(std::string_view content, size_t col, char unit) {
  std::string_view t = columns(content, col);
  t = t.substr(0, t.find(unit));
  int32_t v = 0;
  scan_int(t, 10, &v);
  return v;
}

StatEntry read_user_line(std::string_view content) {
  StatEntry e;
  e.name = word_at(content, kNameColumn);
  e.group = word_at(content, kGroupColumn);
  scan_int(columns(content, kFilesColumn), 10, &e.files);
  e.megabytes = number_before(content, kMegabytesColumn, 'M');
  e.speed = number_before(content, kSpeedColumn, 'K');
  return e;
}

// The speed is averaged by megabytes; each product fits 64 bits and so does
// their sum, with INT32_MIN kept out.
void combine(StatEntry& e, const StatEntry& more) {
  auto wide = [](int32_t v) -> int64_t { return v < -INT32_MAX ? -INT32_MAX : v; };
  const int64_t megabytes = wide(e.megabytes) + wide(more.megabytes);
  const int64_t weighted = wide(e.megabytes) * wide(e.speed) + wide(more.megabytes) * wide(more.speed);
  e.files = clamp32(int64_t{e.files} + more.files);
  e.speed = megabytes == 0 ? 0 : clamp32(weighted / megabytes);
  e.megabytes = clamp32(megabytes);
}

bool is_user_or_closing(std::string_view line) {
  return starts_with(line, kUserMarker) || starts_with(line, kClosingMarker);
}

std::string rank_line(int rank, const StatEntry& e) {
  const std::string files = std::to_string(e.files);
  const std::string megabytes = std::to_string(e.megabytes);
  const std::string speed = std::to_string(e.speed);
  const size_t size = sizeof kRankLine + e.name.size() + 22 + files.size() + megabytes.size() + speed.size() + 32;
  std::string out(size, '\0');
  int n = std::snprintf(out.data(), out.size(), kRankLine, rank, e.name.c_str(), e.group.c_str(), files.c_str(),
                        megabytes.c_str(), speed.c_str());
  out.resize(n < 0 ? 0 : static_cast<size_t>(n) < out.size() ? static_cast<size_t>(n) : out.size() - 1);
  return out;
}

}  // namespace

ReplyResult stats_merge(Session& s, ReplyBuffer& rb) {
  ReplyWriter out(s);
  const int n = s.site_count();
  SliceLines lines[kMaxSites];
  for (int i = 0; i < n; ++i) lines[i] = SliceLines(rb.slice[i].text());

  // Headers: site 0's are shown, the others' skipped.
  for (int i = 0; i < n; ++i)
    for (SliceLines& l = lines[i]; l.has_line() && !is_user_or_closing(l.line()); l.next())
      if (i == 0) out.line(l.line());

  std::vector<StatEntry> entries;
  std::unordered_map<std::string, size_t> by_name;  // first entry of each name
  for (int i = 0; i < n; ++i) {
    // The final line is never a user line, even in a table without closing lines.
    for (SliceLines& l = lines[i]; l.has_line() && !starts_with(l.line(), kClosingMarker) && !is_reply_end(l.line());
         l.next()) {
      StatEntry e = read_user_line(l.content());
      auto found = i == 0 ? by_name.end() : by_name.find(e.name);
      if (found != by_name.end()) {
        combine(entries[found->second], e);
      } else {
        by_name.emplace(e.name, entries.size());
        entries.push_back(std::move(e));
      }
    }
  }
  for (size_t k = 0; k < entries.size(); ++k) out.line(rank_line(static_cast<int>(k + 1), entries[k]));

  const int closing_site = s.current_site() >= 0 && s.current_site() < n ? s.current_site() : 0;
  if (n > 0)
    for (SliceLines& l = lines[closing_site]; l.has_line(); l.next()) out.line(l.line());
  out.end_reply();
  for (int i = 0; i < n; ++i) rb.slice[i].clear();
  return ReplyResult::kDrop;
}

}  // namespace ferrynet
