// The protection commands the daemon answers itself: its TLS is its own on
// every leg, so none of them is passed on to a site.
#pragma once

#include "ferrynet/session/handler_types.h"

namespace ferrynet {

// AUTH TLS / AUTH SSL: the handshake on the client's control connection.
CommandResult auth_command(Session& s, std::string_view line);
CommandResult pbsz_command(Session& s, std::string_view line);
CommandResult prot_command(Session& s, std::string_view line);
CommandResult ccc_command(Session& s, std::string_view line);
// USER and PASS: refused in plain text where TLS is required, else to every site.
CommandResult login_command(Session& s, std::string_view line);

}  // namespace ferrynet
