// SITE STATINFO: the sites' data lines keyed by their third field, the
// counts of one key added up over the sites.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ferrynet/rewrite/reply_lines.h"
#include "ferrynet/rewrite/reply_merge.h"

namespace ferrynet {

namespace {

// The fields point into the slices, which stay as they are until the reply is sent.
struct StatinfoEntry {
  std::string_view first, second, key;
  int64_t count = 0;
};

// Splits at the first three commas; missing fields are empty and a missing
// count is 0. The count ignores whatever follows its digits.
StatinfoEntry split_data_line(std::string_view content) {
  std::string_view field[3];
  for (auto& f : field) {
    const size_t comma = content.find(',');
    f = content.substr(0, comma);
    content = comma == std::string_view::npos ? std::string_view() : content.substr(comma + 1);
  }
  StatinfoEntry e{field[0], field[1], field[2], 0};
  int32_t count = 0;
  scan_int(content, 0, &count);
  e.count = count;
  return e;
}

}  // namespace

ReplyResult statinfo_merge(Session& s, ReplyBuffer& rb) {
  ReplyWriter out(s);
  const int n = s.site_count();
  std::vector<StatinfoEntry> entries;
  std::unordered_map<std::string_view, size_t> by_key;  // first entry of each key
  int consumed[kMaxSites] = {};
  for (int i = 0; i < n; ++i) {
    SliceLines l(rb.slice[i].text());
    // The site's closing line stays for the relay to drop.
    for (; l.has_line() && !is_reply_end(l.line()); l.next()) {
      StatinfoEntry e = split_data_line(l.content());
      // Site 0's own lines are never merged with each other.
      auto found = i == 0 ? by_key.end() : by_key.find(e.key);
      if (found != by_key.end()) {
        entries[found->second].count += e.count;
      } else {
        by_key.emplace(e.key, entries.size());
        entries.push_back(e);
      }
    }
    consumed[i] = l.consumed();
  }
  for (const StatinfoEntry& e : entries) {
    std::string line;
    line.reserve(e.first.size() + e.second.size() + e.key.size() + 16);
    line.append(e.first).append(",").append(e.second).append(",").append(e.key).append(",");
    line.append(std::to_string(clamp32(e.count)));
    out.line(line);
  }
  out.raw(kCommandSuccessful);
  for (int i = 0; i < n; ++i) rb.slice[i].drop_front(consumed[i]);
  return ReplyResult::kDrop;
}

}  // namespace ferrynet
