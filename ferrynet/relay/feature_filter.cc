#include "ferrynet/relay/feature_filter.h"

#include <strings.h>

#include <cstring>
#include <string>

#include "ferrynet/core/config.h"
#include "ferrynet/core/net.h"
#include "ferrynet/relay/command_handlers.h"

namespace ferrynet {

namespace {

// Security extensions: once accepted, the control connection is no longer plain text.
const char* const kSecurityFeatures[] = {"AUTH", "PBSZ", "PROT", "CCC", "ADAT", "CONF", "ENC", "MIC", "SSCN", "CPSV"};
// At "/" a machine listing is merged from every site, so it is offered only
// when every site can give one.
const char* const kRootHiddenFeatures[] = {"MLST", "MLSD"};

bool word_is(const char* word, int len, const char* name) {
  return static_cast<int>(std::strlen(name)) == len && strncasecmp(word, name, len) == 0;
}

std::string_view first_word(const char* line, int len) {
  int pos = 0;
  while (pos < len && line[pos] == ' ') ++pos;
  int end = pos;
  while (end < len && line[end] != ' ' && line[end] != '\r' && line[end] != '\n') ++end;
  return {line + pos, static_cast<size_t>(end - pos)};
}

bool hidden(const char* line, int len, bool hide_machine_listings) {
  const std::string_view w = first_word(line, len);
  const char* word = w.data();
  const int wlen = static_cast<int>(w.size());
  if (wlen >= 3 && strncasecmp(word, "TLS", 3) == 0) return true;
  for (const char* f : kSecurityFeatures)
    if (word_is(word, wlen, f)) return true;
  if (hide_machine_listings)
    for (const char* f : kRootHiddenFeatures)
      if (word_is(word, wlen, f)) return true;
  return false;
}

}  // namespace

void filter_feature_lines(Slice& slice, bool hide_machine_listings) {
  int pos = slice.line_length();
  if (pos <= 0 || is_final_line(slice.data(), pos)) return;
  while (pos < slice.size()) {
    int len = line_length(slice.data() + pos, slice.size() - pos);
    if (len <= 0 || is_final_line(slice.data() + pos, len)) return;
    if (hidden(slice.data() + pos, len, hide_machine_listings))
      slice.erase(pos, len);
    else
      pos += len;
  }
}

bool offers_machine_listings(const Slice& slice) {
  int pos = slice.line_length();
  if (pos <= 0 || std::strncmp(slice.data(), "211", 3) != 0 || is_final_line(slice.data(), pos)) return false;
  while (pos < slice.size()) {
    const int len = line_length(slice.data() + pos, slice.size() - pos);
    if (len <= 0 || is_final_line(slice.data() + pos, len)) return false;
    const std::string_view w = first_word(slice.data() + pos, len);
    if (word_is(w.data(), static_cast<int>(w.size()), "MLST")) return true;
    pos += len;
  }
  return false;
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

CommandResult feature_command(Session& s, std::string_view line) {
  if (!s.at_root()) return CommandResult::kForward;
  s.state().current_site_answers = true;
  return send_to_every_site(s, line);
}

ReplyResult feature_filter(Session& s, ReplyBuffer& rb) {
  // Called for every 211 line of the current site's reply; only the first
  // line of a list leads to filtering, while every site's reply is still whole.
  const int site = s.current_site();
  if (site >= 0 && site < s.site_count()) {
    bool hide = false;
    if (s.at_root()) {
      const Slice& own = rb.slice[site];
      const int first = own.line_length();
      if (first <= 0 || is_final_line(own.data(), first)) return ReplyResult::kForward;
      for (int i = 0; i < s.site_count() && !hide; ++i) hide = !s.awaits(i) || !offers_machine_listings(rb.slice[i]);
    }
    filter_feature_lines(rb.slice[site], hide);
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
