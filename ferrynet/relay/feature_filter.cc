#include "ferrynet/relay/feature_filter.h"

#include <strings.h>

#include <cstring>

#include "ferrynet/core/config.h"
#include "ferrynet/core/net.h"
#include "ferrynet/relay/slice.h"

namespace ferrynet {

namespace {

// Security extensions: once accepted, the control connection is no longer plain text.
const char* const kSecurityFeatures[] = {"AUTH", "PBSZ", "PROT", "CCC", "ADAT", "CONF", "ENC", "MIC", "SSCN", "CPSV"};
// At "/" a machine listing would come from one site only.
const char* const kRootHiddenFeatures[] = {"MLST", "MLSD"};

bool word_is(const char* word, int len, const char* name) {
  return static_cast<int>(std::strlen(name)) == len && strncasecmp(word, name, len) == 0;
}

bool hidden(const char* line, int len, bool at_root) {
  int pos = 0;
  while (pos < len && line[pos] == ' ') ++pos;
  int end = pos;
  while (end < len && line[end] != ' ' && line[end] != '\r' && line[end] != '\n') ++end;
  const char* word = line + pos;
  const int wlen = end - pos;
  if (wlen >= 3 && strncasecmp(word, "TLS", 3) == 0) return true;
  for (const char* f : kSecurityFeatures)
    if (word_is(word, wlen, f)) return true;
  if (at_root)
    for (const char* f : kRootHiddenFeatures)
      if (word_is(word, wlen, f)) return true;
  return false;
}

}  // namespace

void filter_feature_lines(char* slice, bool at_root) {
  int text = slice_text_length(slice);
  int pos = line_length(slice, text);
  if (pos <= 0 || is_final_line(slice, pos)) return;
  while (pos < text) {
    int len = line_length(slice + pos, text - pos);
    if (len <= 0 || is_final_line(slice + pos, len)) return;
    if (!hidden(slice + pos, len, at_root)) {
      pos += len;
      continue;
    }
    std::memmove(slice + pos, slice + pos + len, kSliceSize - pos - len);
    std::memset(slice + kSliceSize - len, 0, len);
    text -= len;
  }
}

int feature_filter(Client&, ReplyBuffer& rb, RelayState& st) {
  // Called for the first line; the loop measures the slice again afterwards.
  if (st.current_site >= 0 && st.current_site < rb.sites)
    filter_feature_lines(rb.slice[st.current_site], std::strcmp(st.cwd, "/") == 0);
  return kReplyForward;
}

int refuse_security(Client& c, char*, RelayState& st) {
  send_line(c.client_fd.get(), "534 Protected connections are not available here; go on in plain text.\r\n");
  for (int i = 0; i < config().sitecount; ++i) st.no_reply[i] = 1;
  return kCommandHandled;
}

int refuse_epsv_all(Client& c, char*, RelayState& st) {
  send_line(c.client_fd.get(), "504 EPSV ALL is not supported here.\r\n");
  for (int i = 0; i < config().sitecount; ++i) st.no_reply[i] = 1;
  return kCommandHandled;
}

}  // namespace ferrynet
