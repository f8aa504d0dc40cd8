// SITE SSWHO: every site's session lines in site order, without the marker
// and id that only the daemon needs, and the daemon's own closing line.
#include <cstring>
#include <string_view>

#include "ferrynet/core/net.h"
#include "ferrynet/session/presence.h"
#include "ferrynet/session/shared_state.h"
#include "ferrynet/rewrite/reply_lines.h"
#include "ferrynet/rewrite/reply_merge.h"

namespace ferrynet {

namespace {

constexpr std::string_view kIdMarker = "-||-";
constexpr std::string_view kClosingPrefix = "200 ";

void pass_session_lines(int site, Slice& from, ReplyWriter& out, const std::optional<HiddenIds>& elsewhere) {
  const char* slice = from.data();
  const int text = from.size();
  int pos = 0;
  while (pos < text) {
    int len = line_length(slice + pos, text - pos);
    if (len <= 0) len = text - pos;  // a last piece without LF is walked too
    std::string_view content = strip_line_end(std::string_view(slice + pos, len));
    pos += len;
    if (content.substr(0, kClosingPrefix.size()) == kClosingPrefix) break;
    const size_t marker = content.find(kIdMarker);
    if (marker != std::string_view::npos) {
      int32_t id = 0;
      if (scan_int(content.substr(marker + kIdMarker.size()), 0, &id) > 0 && (presence_hides(site, id) || (elsewhere && elsewhere->count(hidden_key(site, id)) != 0)))
        continue;
      content = content.substr(0, marker);
    }
    out.line(content);
  }
  from.clear();
}

}  // namespace

ReplyResult sswho_merge(Session& s, ReplyBuffer& rb) {
  ReplyWriter out(s);
  const int n = s.site_count();
  // Ids are kept by configured site.
  // The store away: the local view alone.
  std::optional<HiddenIds> elsewhere;
  if (SharedState* shared = s.shared()) elsewhere = shared->hidden_elsewhere();
  for (int i = 0; i < n; ++i) pass_session_lines(s.site_number(i), rb.slice[i], out, elsewhere);
  out.raw(kCommandSuccessful);
  return ReplyResult::kAnswered;
}

}  // namespace ferrynet
