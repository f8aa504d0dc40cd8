#include "ferrynet/relay/tls_commands.h"

#include <strings.h>

#include <cstring>
#include <string>

#include "ferrynet/core/config.h"
#include "ferrynet/core/log.h"
#include "ferrynet/relay/command_handlers.h"
#include "ferrynet/relay/feature_filter.h"

namespace ferrynet {

namespace {

bool tls_offered() { return config().clienttls != kClientTlsNo; }

// The argument word, without the line's CR.
std::string_view argument(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return {};
  line.remove_prefix(blank + 1);
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
  return line;
}

bool is_word(std::string_view arg, const char* word) {
  return arg.size() == std::strlen(word) && strncasecmp(arg.data(), word, arg.size()) == 0;
}

CommandResult answer(Session& s, const char* reply) {
  s.reply(reply);
  s.await_no_site();
  return CommandResult::kHandled;
}

}  // namespace

CommandResult auth_command(Session& s, std::string_view line) {
  if (!tls_offered()) return refuse_security(s, line);
  const std::string_view arg = argument(line);
  if (!is_word(arg, "TLS") && !is_word(arg, "SSL") && !is_word(arg, "TLS-C") && !is_word(arg, "TLS-P"))
    return answer(s, "504 Only AUTH TLS is supported.\r\n");
  if (s.client_secure()) return answer(s, "503 TLS is already in use.\r\n");
  s.reply("234 AUTH TLS successful, go ahead.\r\n");
  s.await_no_site();
  // Security: text pipelined behind AUTH was sent in the clear and must not
  // be taken as coming from the protected client.
  s.state().discard_client_input = true;
  std::string why;
  if (!s.secure_client(&why)) {
    log_line('e', "TLS handshake with client %s failed (%s)\n", s.client_ip().c_str(), why.c_str());
    s.state().client_tls_failed = true;
  }
  return CommandResult::kHandled;
}

CommandResult pbsz_command(Session& s, std::string_view line) {
  if (!tls_offered()) return CommandResult::kForward;
  if (!s.client_secure()) return answer(s, "503 PBSZ needs AUTH TLS first.\r\n");
  (void)line;
  return answer(s, "200 PBSZ=0\r\n");
}

CommandResult prot_command(Session& s, std::string_view line) {
  if (!tls_offered()) return CommandResult::kForward;
  const std::string_view arg = argument(line);
  if (is_word(arg, "C")) {
    s.state().client_prot_private = false;
    return answer(s, "200 Protection level set to Clear.\r\n");
  }
  if (is_word(arg, "P")) {
    if (!s.client_secure()) return answer(s, "503 PROT P needs AUTH TLS first.\r\n");
    s.state().client_prot_private = true;
    return answer(s, "200 Protection level set to Private.\r\n");
  }
  if (is_word(arg, "S") || is_word(arg, "E")) return answer(s, "536 Protection level not supported.\r\n");
  return answer(s, "504 Unknown protection level.\r\n");
}

CommandResult ccc_command(Session& s, std::string_view) {
  if (!tls_offered()) return CommandResult::kForward;
  return answer(s, "534 The control connection stays protected.\r\n");
}

CommandResult login_command(Session& s, std::string_view line) {
  if (config().clienttls == kClientTlsForce && !s.client_secure())
    return answer(s, "530 TLS is required here: send AUTH TLS before logging in.\r\n");
  return broadcast(s, line);
}

}  // namespace ferrynet
