// SITE SSWHO: every site's session lines in site order, without the marker
// and id that only the daemon needs, and the daemon's own closing line.
#include <cstring>
#include <string_view>

#include "ferrynet/relay/client.h"
#include "ferrynet/relay/slice.h"
#include "ferrynet/rewrite/reply_lines.h"
#include "ferrynet/rewrite/reply_merge.h"

namespace ferrynet {

namespace {

constexpr std::string_view kIdMarker = "-||-";
constexpr std::string_view kClosingPrefix = "200 ";

void pass_session_lines(int site, char* slice, ReplyWriter& out) {
  const int text = slice_text_length(slice);
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
      if (scan_int(content.substr(marker + kIdMarker.size()), 0, &id) > 0 && presence_hides(site, id)) continue;
      content = content.substr(0, marker);
    }
    out.line(content);
  }
  std::memset(slice, 0, text);
}

}  // namespace

int sswho_merge(Client& c, ReplyBuffer& rb, RelayState&) {
  ReplyWriter out(c.client_fd.get());
  const int n = rb.sites < 0 ? 0 : rb.sites > kMaxSites ? kMaxSites : rb.sites;
  for (int i = 0; i < n; ++i) pass_session_lines(i, rb.slice[i], out);
  out.send(kCommandSuccessful);
  return kReplyAnswered;
}

}  // namespace ferrynet
