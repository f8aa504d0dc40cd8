#include "ferrynet/relay/feature_filter.h"

#include <strings.h>

#include <cstring>
#include <string>

#include "ferrynet/core/config.h"
#include "ferrynet/core/net.h"

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

void filter_feature_lines(Slice& slice, bool at_root) {
  int pos = slice.line_length();
  if (pos <= 0 || is_final_line(slice.data(), pos)) return;
  while (pos < slice.size()) {
    int len = line_length(slice.data() + pos, slice.size() - pos);
    if (len <= 0 || is_final_line(slice.data() + pos, len)) return;
    if (hidden(slice.data() + pos, len, at_root))
      slice.erase(pos, len);
    else
      pos += len;
  }
}

void offer_tls_features(Slice& slice) {
  int pos = slice.line_length();
  if (pos <= 0) return;
  // Called for every line of the reply that reads as 211: only its first
  // line of a list leads to the additions; a one-line answer lists nothing.
  if (is_final_line(slice.data(), pos)) return;
  while (pos < slice.size()) {
    const int len = line_length(slice.data() + pos, slice.size() - pos);
    if (len <= 0) return;
    if (is_final_line(slice.data() + pos, len)) {
      slice.insert(pos, " AUTH TLS\r\n PBSZ\r\n PROT\r\n");
      return;
    }
    pos += len;
  }
}

ReplyResult feature_filter(Session& s, ReplyBuffer& rb) {
  // Called for the first line; the loop measures the slice again afterwards.
  const int site = s.current_site();
  if (site >= 0 && site < s.site_count()) {
    filter_feature_lines(rb.slice[site], s.at_root());
    if (config().clienttls != kClientTlsNo) offer_tls_features(rb.slice[site]);
  }
  return ReplyResult::kForward;
}

CommandResult refuse_security(Session& s, std::string_view) {
  s.reply("534 Protected connections are not available here; go on in plain text.\r\n");
  s.await_no_site();
  return CommandResult::kHandled;
}

CommandResult refuse_epsv_all(Session& s, std::string_view) {
  s.reply("504 EPSV ALL is not supported here.\r\n");
  s.await_no_site();
  return CommandResult::kHandled;
}

}  // namespace ferrynet
