#include "ferrynet/relay/login_handlers.h"

#include <cstdlib>
#include <cstring>

#include "ferrynet/core/config.h"
#include "ferrynet/core/net.h"
#include "ferrynet/session/presence.h"
#include "ferrynet/session/shared_state.h"

namespace ferrynet {

namespace {

constexpr const char kLoginMark[] = "|PASS";
constexpr const char kLoginDone[] = "||PASS";

// An id read like "%i" from the sixth character of a line that ends at `len`.
int read_id(const char* line, int len) {
  if (len <= 5) return -1;
  char text[64];
  int n = len - 5;
  if (n > static_cast<int>(sizeof text) - 1) n = sizeof text - 1;
  std::memcpy(text, line + 5, n);
  text[n] = '\0';
  char* end = nullptr;
  long v = std::strtol(text, &end, 0);
  if (end == text || v < 0 || v > 0x7fffffff) return -1;
  return static_cast<int>(v);
}

}  // namespace

int take_session_id(Slice& slice) {
  const char* text = slice.data();
  const int size = slice.size();
  // The login reply ends at the first line that begins "230 ", which is the
  // very first line when the site answered in one line.
  int pos = 0;
  int login_end = -1;
  while (pos < size) {
    int len = line_length(text + pos, size - pos);
    if (len <= 0) return -1;
    if (len >= 4 && std::strncmp(text + pos, "230 ", 4) == 0) {
      login_end = pos + len;
      break;
    }
    pos += len;
  }
  if (login_end < 0 || login_end >= size) return -1;

  // The answer runs to its own final line; only the usual two-line answer
  // carries an id (a refusal is one line).
  int answer_end = login_end;
  int lines = 0;
  int first_len = 0;
  bool complete = false;
  while (answer_end < size) {
    int len = line_length(text + answer_end, size - answer_end);
    if (len <= 0) break;
    if (lines == 0) first_len = len;
    const bool final_line = is_final_line(text + answer_end, len);
    answer_end += len;
    ++lines;
    if (final_line) {
      complete = true;
      break;
    }
  }
  if (!complete) return -1;
  const int id = lines == 2 ? read_id(text + login_end, first_len - 1) : -1;
  slice.erase(login_end, answer_end - login_end);
  return id;
}

ReplyResult login_step(Session& s, ReplyBuffer&) {
  for (int i = 0; i < s.site_count(); ++i) s.send_site(i, "SITE SHOWPID\r\n");
  std::strcpy(s.state().last_command, kLoginMark);
  return ReplyResult::kAskedMore;
}

ReplyResult login_completion(Session& s, ReplyBuffer& rb) {
  RelayState& st = s.state();
  // Kept by configured site: sessions that lack some site still compare
  // their ids with every other session's.
  int ids[kMaxSites];
  for (int& id : ids) id = -1;
  for (int i = 0; i < s.site_count(); ++i)
    if (const int site = s.site_number(i); site >= 0) ids[site] = s.awaits(i) ? take_session_id(rb.slice[i]) : -1;
  std::strcpy(st.last_command, kLoginDone);
  s.mark_logged_in();
  presence_set_ids(st.presence, ids, kMaxSites, s.site_number(0));
  presence_insert(st.presence);
  if (SharedState* shared = s.shared()) {
    std::string hidden;
    for (int site = 0; site < kMaxSites; ++site)
      if (site != s.site_number(0) && ids[site] != -1)
        hidden += (hidden.empty() ? "" : " ") + std::to_string(site) + ":" + std::to_string(ids[site]);
    shared->logged_in(s.shared_key(), std::move(hidden));
  }
  return ReplyResult::kForward;
}

ReplyResult directory_confirmed(Session& s, ReplyBuffer&) {
  RelayState& st = s.state();
  std::memcpy(st.cwd, st.new_dir, sizeof st.cwd);
  st.cwd[sizeof st.cwd - 1] = '\0';
  return ReplyResult::kForward;
}

}  // namespace ferrynet
