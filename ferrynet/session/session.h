// What a handler may do with a client's session: answer the client, talk to
// the sites, say whose replies the client is owed. Handlers never touch a
// connection themselves.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "ferrynet/core/address.h"
#include "ferrynet/core/tls.h"
#include "ferrynet/session/admission.h"
#include "ferrynet/session/client.h"

namespace ferrynet {

// What a client hears for a command that needs a site the session lacks.
inline constexpr char kSiteDownLine[] = "450 Site %d is down, try again later.\r\n";

class Session {
 public:
  Session(Client& c, RelayState& st) : c_(c), st_(st) {}

  // The sites the session holds. Never above kMaxSites (the configuration
  // allows no more); said here too so that the compiler sees the bound of
  // every per-site array a caller fills.
  int site_count() const { return c_.site_count < kMaxSites ? c_.site_count : kMaxSites; }
  // The configured sites, some of which the session may lack.
  int configured_sites() const;
  // Configured site number (from 0) of a slot, and the slot of a site (-1: not held).
  int site_number(int slot) const { return slot >= 0 && slot < site_count() ? c_.site_number[slot] : -1; }
  int slot_of(int site) const;
  // The first configured site the session lacks, or -1.
  int first_missing_site() const;
  // Tells the client that `site` (configured number) is down: the command
  // goes nowhere.
  void say_site_down(int site);
  bool at_root() const;
  RelayState& state() { return st_; }
  // The store other instances share, or null; the session's name there.
  SharedState* shared() const { return c_.services ? c_.services->shared : nullptr; }
  uint64_t shared_key() const { return reinterpret_cast<uintptr_t>(&c_); }
  const RelayState& state() const { return st_; }
  int current_site() const { return st_.current_site; }

  // Bytes to the client as they are.
  bool reply(std::string_view text);
  // One formatted line of at most 1024 characters to the client.
  long reply_line(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool send_site(int site, std::string_view text);
  // When the daemon last sent `site` anything.
  std::chrono::steady_clock::time_point sent_at(int site) const { return sent_at_[site]; }
  // The slots after a lost one move down over it.
  void forget_slot(int slot) {
    for (int j = slot; j + 1 < kMaxSites; ++j) sent_at_[j] = sent_at_[j + 1];
  }
  // After the Telnet Synch, which a site running a transfer watches for.
  bool send_site_urgent(int site, std::string_view line);
  long send_site_line(int site, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // The client's line (which keeps its CR) and an LF to `site`.
  bool relay_line(int site, std::string_view line);

  // Whose reply to the command just sent the client is owed.
  void await_every_site();
  void await_current_site();
  void await_only(int site);
  void await_no_site();
  bool awaits(int site) const { return site >= 0 && site < site_count() && st_.awaited[site]; }
  // The login succeeded: the login watchdog lets this client be.
  void mark_logged_in() { c_.logged_in.store(true); }

  // A new data transfer: earlier ones that never got under way end.
  void begin_transfer(const std::shared_ptr<TransferPlan>& plan);
  // Ends every data transfer of the session.
  void end_transfers();
  // The client's control connection is gone: its transfers still moving
  // run to their end, the others end (see TransferPlan::orphan).
  void let_transfers_go();
  // A share of the session's admission slot for a transfer that may outlive it.
  std::unique_ptr<SlotHold> hold_slot() const { return std::make_unique<SlotHold>(c_); }

  // TLS on the client's control connection, within the handshake limit.
  bool secure_client(std::string* error);
  bool client_secure() const { return c_.client_conn.secure(); }
  // Whether data outside the root passes through the daemon too: with
  // `bouncedata`, and whenever TLS makes a direct connection impossible.
  bool carries_all_data() const;
  // The TLS context for the client's data connections (none: plain), and
  // for the sites' with the session store to resume.
  std::shared_ptr<const TlsContext> client_data_tls() const;
  std::shared_ptr<const TlsContext> site_data_tls() const;
  std::shared_ptr<TlsSessionStore> site_tls_store(int site) const { return c_.site_tls[site]; }
  const std::string& site_tls_name(int site) const { return c_.site_tls_name[site]; }

  const std::string& client_ip() const { return c_.client_ip; }
  Metrics* metrics() const { return metrics_of(c_); }
  // The peer of a site's control connection.
  const Address& site_peer(int site) const { return c_.site_addr[site]; }
  // The daemon's end of a site's control connection.
  std::optional<Address> site_local(int site) const { return c_.site_conn[site].local(); }
  const Address& client_peer() const { return c_.client_addr; }
  // The daemon's address the client reached.
  std::optional<Address> client_local() const { return c_.client_conn.local(); }
  // The local address the daemon uses toward the sites, or none.
  std::optional<std::string> site_side_address() const;

 private:
  Client& c_;
  RelayState& st_;
  std::chrono::steady_clock::time_point sent_at_[kMaxSites] = {};
};

// The local address the daemon uses toward the sites for this client, or none.
std::optional<std::string> site_side_address(const Client& c);

}  // namespace ferrynet
