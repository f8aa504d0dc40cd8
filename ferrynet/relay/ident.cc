#include "ferrynet/relay/ident.h"

#include <cstdio>
#include <cstring>

#include "ferrynet/core/limits.h"
#include "ferrynet/core/net.h"

namespace ferrynet {

int parse_ident_answer(const char* line, unsigned client_port, unsigned listen_port, std::string& user) {
  unsigned a = 0, b = 0;
  char name[kIdentUserMax + 1] = {};
  if (std::sscanf(line, "%u , %u : USERID :%*[^:]:%255s", &a, &b, name) != 3) return -1;
  if (a != client_port || b != listen_port) return -1;
  name[std::strcspn(name, "\r")] = '\0';
  user = name;
  return 1;
}

int ident_lookup(std::optional<std::string>& user, uint16_t listen_port, const Address& client) {
  user.reset();
  const unsigned client_port = client.port();
  ConnectOutcome ident = connect_timed(client.with_port(kIdentPort), nullptr, kIdentSeconds);
  if (!ident.ok()) return -1;
  ident.conn.send_line("%u,%u\r\n", client_port, static_cast<unsigned>(listen_port));
  char answer[kIdentLineSize + 1];
  if (ident.conn.read_line(answer, kIdentLineSize, kIdentSeconds) <= 0) return -1;
  ident.conn.close();
  std::string name;
  if (parse_ident_answer(answer, client_port, listen_port, name) != 1) return -1;
  user = std::move(name);
  return 1;
}

}  // namespace ferrynet
