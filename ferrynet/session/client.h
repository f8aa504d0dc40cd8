// One client's records: its connections and its relay state.
#pragma once

#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ferrynet/core/address.h"
#include "ferrynet/core/connection.h"
#include "ferrynet/core/limits.h"
#include "ferrynet/session/presence.h"
#include "ferrynet/session/services.h"
#include "ferrynet/session/transfer_plan.h"

namespace ferrynet {

struct Client {
  pthread_t thread{};
  std::mutex lock;  // held by the client thread over set-up and each relay pass
  Connection client_conn;
  Address client_addr;
  // The sites this session holds, in site order; with `sitedown degrade`
  // fewer than the configured ones. Slot k holds site site_number[k]
  // (numbered from 0 as the configuration's), and every per-site array of
  // the session is indexed by slot.
  int site_count = 0;
  int site_number[kMaxSites] = {};
  Connection site_conn[kMaxSites];
  Address site_addr[kMaxSites];
  // The TLS sessions of each site's control connection, which its data
  // connections resume (sites refuse data connections that don't).
  std::shared_ptr<TlsSessionStore> site_tls[kMaxSites];
  // The name each site's certificate must hold, on control and data connections alike.
  std::string site_tls_name[kMaxSites];
  std::string client_ip;
  std::optional<std::string> ident_user;
  // Set when shutdown ends the client; its thread then leaves without touching shared state.
  std::atomic<bool> ended{false};
  // The login watch (session/admission.h). The relay sets logged_in once a
  // login succeeded. The watchdog never writes to client_conn: past the
  // deadline it sets login_expired and shuts the site connections down, which
  // ends the relay; the client thread then sends the 421 line itself, so the
  // client's byte stream keeps one writer.
  std::atomic<bool> logged_in{false};
  std::atomic<bool> login_expired{false};
  // Set by the client thread once site_conn[] is final; before that the
  // watchdog must not look at site_conn.
  std::atomic<bool> sites_connected{false};
  // Made at start-up, outlive every client; set before the client's thread starts.
  const Services* services = nullptr;
};

// The counts to keep, or none when nobody asks for them.
inline Metrics* metrics_of(const Client& c) { return c.services ? c.services->metrics : nullptr; }

struct RelayState {
  char cwd[kDirField] = "/";
  char new_dir[kDirField] = "";
  char last_command[kDirField] = "";
  // The sites whose reply to the last command the client is owed.
  bool awaited[kMaxSites] = {};
  int current_site = 0;
  PresenceEntry* presence = nullptr;  // owned; released by presence_unlink
  // The transfer the last data bounce was started for: the bounce runs
  // before the command that tells what it carries.
  std::shared_ptr<TransferPlan> transfer;
  // Every bounce of the session, so that its end ends them.
  std::vector<std::weak_ptr<TransferPlan>> transfers;
  // The site a rename's RNFR went to, for its RNTO.
  int rename_site = -1;
  // PROT P: the client's data connections are protected.
  bool client_prot_private = false;
  // Set by AUTH: what the client sent after it in plain text is thrown away.
  bool discard_client_input = false;
  // The client's handshake after AUTH failed: its session cannot go on.
  bool client_tls_failed = false;
  // A command tried site by site until one holds the file: the next site to
  // try (-1: none), the line for it, and whether the site that accepts a
  // transfer is the one the bounce is to carry.
  int fallthrough_next = -1;
  // A site the session lacks might hold the file: the last refusal names it.
  int fallthrough_missing = -1;
  std::string fallthrough_line;
  bool decide_on_preliminary = false;
  // The current site's reply is the client's even where another site
  // refuses: the others were asked only to learn what they offer.
  bool current_site_answers = false;
  // REST at the root: which site the transfer goes to is known only with
  // the transfer command, so the daemon keeps it and sends it there first.
  std::string rest_line;
  std::string fallthrough_rest;
  // The site that was sent that REST (-1: none) and the transfer command
  // held back until it has accepted the offset.
  int restart_site = -1;
  std::string after_restart;
  // A site's passive reply named an address other than its own; said once a session.
  bool pasv_address_logged = false;
};

}  // namespace ferrynet
