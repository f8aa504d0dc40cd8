// SITE WHO: the sites' who-lists as one table under site 0's header, the
// daemon's own extra sessions left out.
#include <cstdio>
#include <string>
#include <string_view>

#include "ferrynet/session/presence.h"
#include "ferrynet/session/shared_state.h"
#include "ferrynet/rewrite/reply_lines.h"
#include "ferrynet/rewrite/reply_merge.h"
#include "ferrynet/rewrite/speed_totals.h"

namespace ferrynet {

namespace {

constexpr size_t kTagColumn = 50;
constexpr size_t kTagWidth = 4;
constexpr std::string_view kSeparatorTag = "----";
// The session id starts here; the client sees only the columns before it.
constexpr size_t kIdColumn = 80;
constexpr size_t kUploadLastColumn = 36;
constexpr size_t kDownloadLastColumn = 74;
constexpr int kHeaderLines = 3;
constexpr int kClosingLines = 2;
// The last pass takes every line whatever its tag.
constexpr std::string_view kPassTags[] = {"UL: ", "DL: ", "IDLE", {}};
constexpr const char kUsersOnline[] =
    "200- | %3i User(s) Currently Online                                            |";

class WhoMerge {
 public:
  WhoMerge(Session& s, ReplyBuffer& rb) : rb_(rb), out_(s) {
    // Counted in a local: a member bound, reloaded after each store, hides it from the compiler.
    const int n = s.site_count();
    for (int i = 0; i < n; ++i) {
      lines_[i] = SliceLines(rb.slice[i].text());
      site_number_[i] = s.site_number(i);
    }
    n_ = n;
    // The store away: the local view alone.
    if (SharedState* shared = s.shared()) elsewhere_ = shared->hidden_elsewhere();
  }

  void run() {
    if (n_ > 0) {
      merge();
      // Whether a site ran out early or sent more than a table, what is left of
      // its reply is used up here, and site 0's goes to the client unchanged.
      while (lines_[0].has_line()) send_site0_and_drop();
      for (int i = 1; i < n_; ++i)
        while (lines_[i].has_line()) lines_[i].next();
    }
    out_.end_reply();
    for (int i = 0; i < n_; ++i) rb_.slice[i].drop_front(lines_[i].consumed());
  }

 private:
  bool hidden_elsewhere(int site, int32_t id) const {
    return elsewhere_ && elsewhere_->count(hidden_key(site, id)) != 0;
  }

  // Stops where some site runs out of lines before the table is complete.
  void merge() {
    for (int k = 0; k < kHeaderLines; ++k) {
      if (!each_has_line()) return;
      send_site0_and_drop();
    }
    for (std::string_view tag : kPassTags)
      while (take_round(tag)) {
      }
    if (!each_has_line()) return;
    send_site0_and_drop();  // separator
    if (!each_has_line()) return;
    send_totals();
    if (!each_has_line()) return;
    send_site0_and_drop();
    if (!each_has_line()) return;
    char online[sizeof kUsersOnline + 16];
    std::snprintf(online, sizeof online, kUsersOnline, shown_);
    out_.line(online);
    drop_each();  // every site's own count is replaced by ours
    for (int k = 0; k < kClosingLines; ++k) {
      if (!each_has_line()) return;
      send_site0_and_drop();
    }
  }

  bool each_has_line() const {
    for (int i = 0; i < n_; ++i)
      if (!lines_[i].has_line()) return false;
    return true;
  }

  void drop_each() {
    for (int i = 0; i < n_; ++i) lines_[i].next();
  }

  void send_site0_and_drop() {
    out_.line(lines_[0].line());
    drop_each();
  }

  // One line at most from the head of each site; false when none was taken.
  bool take_round(std::string_view tag) {
    bool took = false;
    for (int i = 0; i < n_; ++i) {
      SliceLines& l = lines_[i];
      if (!l.has_line()) continue;
      std::string_view content = l.content();
      std::string_view site_tag = columns(content, kTagColumn, kTagWidth);
      // The final line is never a user line, even in a table that lacks its separator.
      if (site_tag == kSeparatorTag || is_reply_end(l.line())) continue;
      if (!tag.empty() && site_tag != tag) continue;
      show_user_line(i, l);
      l.next();
      took = true;
    }
    return took;
  }

  void show_user_line(int site, const SliceLines& l) {
    std::string_view content = l.content();
    int32_t id = 0;
    if (content.size() > kIdColumn && scan_int(columns(content, kIdColumn), 0, &id) > 0 &&
        (presence_hides(site_number_[site], id) || hidden_elsewhere(site_number_[site], id)))
      return;
    // A line that ends before the id column keeps its own CR LF.
    out_.line(content.size() > kIdColumn ? content.substr(0, kIdColumn) : l.line());
    ++shown_;
  }

  void send_totals() {
    SpeedTotals sums;
    for (int i = 0; i < n_; ++i) add_speed_totals(lines_[i].content(), sums);
    std::string_view line0 = lines_[0].line();
    std::string_view content0 = lines_[0].content();
    std::string rewritten(content0);
    place_ending_at(rewritten, format_speed(sums.up_whole, sums.up_tenths), kUploadLastColumn);
    place_ending_at(rewritten, format_speed(sums.down_whole, sums.down_tenths), kDownloadLastColumn);
    rewritten.append(line0.substr(content0.size()));
    out_.line(rewritten);
    drop_each();
  }

  ReplyBuffer& rb_;
  ReplyWriter out_;
  int n_ = 0;
  SliceLines lines_[kMaxSites];
  int site_number_[kMaxSites] = {};
  std::optional<HiddenIds> elsewhere_;
  int shown_ = 0;
};

}  // namespace

ReplyResult who_merge(Session& s, ReplyBuffer& rb) {
  WhoMerge(s, rb).run();
  return ReplyResult::kAnswered;
}

}  // namespace ferrynet
