// Asking a client's ident service who the user is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ferrynet/core/address.h"

namespace ferrynet {

// RFC 1413 lookup; 1 with `user` set, -1 without.
int ident_lookup(std::optional<std::string>& user, uint16_t listen_port, const Address& client);
// Parses one ident answer line for the ports sent; 1 with `user` set.
int parse_ident_answer(const char* line, unsigned client_port, unsigned listen_port, std::string& user);

}  // namespace ferrynet
