#include "ferrynet/core/tls.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "ferrynet/core/limits.h"

namespace ferrynet {

namespace {

using Clock = std::chrono::steady_clock;

// The newest queued library error as text, then an empty queue for the next call.
std::string library_reason(const char* fallback) {
  unsigned long code = ERR_peek_last_error();
  const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
  std::string text;
  if (reason != nullptr) {
    text = reason;
  } else if (code != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    text = buf;
  } else {
    text = fallback;
  }
  ERR_clear_error();
  return text;
}

// Text of the peer's for the log: printable characters only, and bounded.
std::string printable(const unsigned char* data, int len) {
  std::string out;
  for (int i = 0; i < len && out.size() < kPeerTextMax; ++i)
    out += data[i] >= 0x20 && data[i] < 0x7f ? static_cast<char>(data[i]) : '?';
  return out;
}

// The names a certificate is for: its DNS and IP subject alternative names,
// or its common name when it has none of those.
std::string certificate_names(X509* cert) {
  std::string out;
  auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names) && out.size() < kPeerTextMax; ++i) {
    const GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
    std::string one;
    if (n->type == GEN_DNS) {
      one = "DNS:" + printable(ASN1_STRING_get0_data(n->d.dNSName), ASN1_STRING_length(n->d.dNSName));
    } else if (n->type == GEN_IPADD) {
      const int len = ASN1_STRING_length(n->d.iPAddress);
      char text[INET6_ADDRSTRLEN] = "?";
      if (len == 4 || len == 16)
        inet_ntop(len == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(n->d.iPAddress), text, sizeof text);
      one = std::string("IP:") + text;
    }
    if (one.empty()) continue;
    if (!out.empty()) out += ", ";
    out += one;
  }
  GENERAL_NAMES_free(names);
  if (out.empty()) {
    char cn[256] = {};
    const int len = X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
    if (len > 0) out = "CN:" + printable(reinterpret_cast<const unsigned char*>(cn), len);
  }
  return out.empty() ? "no names" : out;
}

std::string asn1_time_text(const ASN1_TIME* t) {
  BIO* mem = BIO_new(BIO_s_mem());
  if (mem == nullptr) return "?";
  std::string out = "?";
  if (t != nullptr && ASN1_TIME_print(mem, t) == 1) {
    char* data = nullptr;
    const long len = BIO_get_mem_data(mem, &data);
    if (len > 0) out.assign(data, static_cast<size_t>(len));
  }
  BIO_free(mem);
  return out;
}

// A key with a passphrase must fail to load, never ask the terminal.
int no_passphrase(char*, int, int, void*) { return 0; }

// Names the file when it cannot even be opened: the library's own text
// ("system lib") would not say why.
bool can_open(const std::string& path, std::string& reason) {
  FILE* f = std::fopen(path.c_str(), "re");
  if (f == nullptr) {
    reason = std::strerror(errno);
    return false;
  }
  std::fclose(f);
  return true;
}

// The stream's socket as the library sees it. send() carries MSG_NOSIGNAL so
// a vanished peer is an error, never a signal; the peer's TCP end is noted so
// that a missing close_notify can be told from a broken session.
struct SocketState {
  int fd = -1;
  bool peer_eof = false;
  int last_errno = 0;
  // While set, records are kept here for one send instead of one each.
  std::string* gather = nullptr;
};

bool is_retry_errno(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

int socket_write(BIO* bio, const char* data, int len) {
  auto* s = static_cast<SocketState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (s->gather != nullptr) {
    s->gather->append(data, static_cast<size_t>(len));
    return len;
  }
  ssize_t n = ::send(s->fd, data, static_cast<size_t>(len), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (is_retry_errno(errno))
    BIO_set_retry_write(bio);
  else
    s->last_errno = errno;
  return -1;
}

int socket_read(BIO* bio, char* buf, int len) {
  auto* s = static_cast<SocketState*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  ssize_t n = ::recv(s->fd, buf, static_cast<size_t>(len), 0);
  if (n > 0) return static_cast<int>(n);
  if (n == 0) {
    s->peer_eof = true;
    return 0;
  }
  if (is_retry_errno(errno))
    BIO_set_retry_read(bio);
  else
    s->last_errno = errno;
  return -1;
}

long socket_ctrl(BIO* bio, int cmd, long, void*) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:  // send() keeps nothing back
      return 1;
    case BIO_CTRL_EOF:
      return static_cast<SocketState*>(BIO_get_data(bio))->peer_eof ? 1 : 0;
    default:
      return 0;
  }
}

// Made once, never changed afterwards; every stream's BIO points to it.
const BIO_METHOD* socket_method() {
  static const BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ferrynet socket");
    if (m == nullptr) return static_cast<BIO_METHOD*>(nullptr);
    BIO_meth_set_write(m, socket_write);
    BIO_meth_set_read(m, socket_read);
    BIO_meth_set_ctrl(m, socket_ctrl);
    return m;
  }();
  return method;
}

void apply_common_settings(SSL_CTX* ctx, TlsVersionCap cap) {
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, cap == TlsVersionCap::tls12 ? TLS1_2_VERSION : TLS1_3_VERSION);
  // Renegotiation would let a peer make a read wait for a write and back.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
  // write_all() resumes a short write from wherever it stopped; idle control
  // connections need not hold their record buffers.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
  // Without it every record costs two reads (header, then body). What is read
  // ahead shows in pending(), which every wait for readable data consults.
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_read_buffer_len(ctx, kTlsReadAheadBytes);
  SSL_CTX_set_default_passwd_cb(ctx, no_passphrase);
}

}  // namespace

struct TlsSessionSlot {
  std::mutex lock;
  SSL_SESSION* session = nullptr;  // guarded by lock; one reference held

  ~TlsSessionSlot() { SSL_SESSION_free(session); }
};

namespace {

// Every session a site hands out (several TLS 1.3 tickets after a handshake,
// new ones on resumed connections too) replaces the stored one, so the next
// data connection offers the newest. The store keeps a copy no connection
// holds: the library marks a connection's session unusable when that
// connection ends without close_notify, and one dropped data connection must
// not cost the next ones their resumption.
int keep_new_session(SSL* ssl, SSL_SESSION* session) {
  auto* slot = static_cast<TlsSessionSlot*>(SSL_get_app_data(ssl));
  if (slot == nullptr || !SSL_SESSION_is_resumable(session)) return 0;
  SSL_SESSION* copy = SSL_SESSION_dup(session);
  if (copy == nullptr) return 0;
  std::lock_guard<std::mutex> hold(slot->lock);
  SSL_SESSION_free(slot->session);
  slot->session = copy;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------

struct TlsContext::Impl {
  SSL_CTX* ctx = nullptr;
  bool server = false;
  bool verify = false;
  std::string trust_name;  // who signs the peers' certificates, for refusals

  ~Impl() { SSL_CTX_free(ctx); }
};

TlsContext::TlsContext(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsContext::~TlsContext() = default;
bool TlsContext::is_server() const { return impl_->server; }
bool TlsContext::verifies_peer() const { return impl_->verify; }

std::shared_ptr<const TlsContext> TlsContext::server(const std::string& cert_file, const std::string& key_file,
                                                     std::string& error, TlsVersionCap cap, bool tls13_tickets) {
  ERR_clear_error();
  auto impl = std::make_unique<Impl>();
  impl->server = true;
  impl->ctx = SSL_CTX_new(TLS_server_method());
  if (impl->ctx == nullptr) {
    error = "cannot set up TLS: " + library_reason("out of memory");
    return nullptr;
  }
  SSL_CTX* ctx = impl->ctx;
  apply_common_settings(ctx, cap);
  SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
  // Resumption is offered (session cache and tickets) but never demanded:
  // many clients open every data connection with a full handshake.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
  // No TLS 1.3 tickets by default: a client that closes a data connection
  // without reading them resets it, and the upload bytes not yet read are
  // lost. Resumption is never required of clients.
  if (!tls13_tickets) SSL_CTX_set_num_tickets(ctx, 0);
  static const unsigned char kSessionContext[] = "ferrynet";
  SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);

  std::string reason;
  if (!can_open(cert_file, reason) || SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1) {
    if (reason.empty()) reason = library_reason("no certificate found");
    error = "cannot read TLS certificate file " + cert_file + ": " + reason;
    return nullptr;
  }
  if (!can_open(key_file, reason)) {
    error = "cannot read TLS key file " + key_file + ": " + reason;
    return nullptr;
  }
  BIO* in = BIO_new_file(key_file.c_str(), "r");
  EVP_PKEY* key = in != nullptr ? PEM_read_bio_PrivateKey(in, nullptr, no_passphrase, nullptr) : nullptr;
  BIO_free(in);
  if (key == nullptr) {
    error = "cannot read TLS key file " + key_file + ": " + library_reason("no private key found");
    return nullptr;
  }
  // Checked here rather than left to the library, whose check depends on the
  // key type and whose message names neither file.
  bool matches = X509_check_private_key(SSL_CTX_get0_certificate(ctx), key) == 1;
  bool used = matches && SSL_CTX_use_PrivateKey(ctx, key) == 1;
  EVP_PKEY_free(key);
  if (!matches) {
    ERR_clear_error();
    error = "TLS key file " + key_file + " does not match the certificate " + cert_file;
    return nullptr;
  }
  if (!used) {
    error = "cannot use TLS key file " + key_file + ": " + library_reason("rejected");
    return nullptr;
  }
  return std::shared_ptr<const TlsContext>(new TlsContext(std::move(impl)));
}

std::shared_ptr<const TlsContext> TlsContext::client(const std::string& ca_file, std::string& error,
                                                     TlsVersionCap cap, const std::string& trust_name) {
  ERR_clear_error();
  auto impl = std::make_unique<Impl>();
  impl->ctx = SSL_CTX_new(TLS_client_method());
  if (impl->ctx == nullptr) {
    error = "cannot set up TLS: " + library_reason("out of memory");
    return nullptr;
  }
  SSL_CTX* ctx = impl->ctx;
  apply_common_settings(ctx, cap);
  // Sessions live in each control connection's store, not in a cache shared
  // by every site connection of the process.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, keep_new_session);
  if (!ca_file.empty()) {
    std::string reason;
    if (!can_open(ca_file, reason) || SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr) != 1) {
      if (reason.empty()) reason = library_reason("no certificate found");
      error = "cannot read TLS CA file " + ca_file + ": " + reason;
      return nullptr;
    }
    impl->verify = true;
    impl->trust_name = trust_name.empty() ? ca_file : trust_name;
  }
  SSL_CTX_set_verify(ctx, impl->verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
  return std::shared_ptr<const TlsContext>(new TlsContext(std::move(impl)));
}

// ---------------------------------------------------------------------------

TlsSessionStore::TlsSessionStore() : slot_(std::make_unique<TlsSessionSlot>()) {}
TlsSessionStore::~TlsSessionStore() = default;

bool TlsSessionStore::has_session() const {
  std::lock_guard<std::mutex> hold(slot_->lock);
  return slot_->session != nullptr;
}

// ---------------------------------------------------------------------------

struct TlsStream::Impl {
  SSL* ssl = nullptr;
  SocketState sock;
  bool server = false;
  bool broken = false;  // after a fatal error no close_notify may be sent
  bool clean_end = false;
  bool timed_out = false;
  bool end_ahead = false;  // a read stopped short of the peer's end or an error
  // write_all()'s records on their way out. Kept with the stream: a bulk
  // copy writes again and again, and memory taken anew each time costs a
  // copy of every byte as it grows.
  std::string gathered;
  std::string error;
  std::shared_ptr<TlsSessionStore> store;  // outlives ssl, which points into it
  std::string peer_name;   // the name the peer's certificate must hold
  std::string trust_name;  // the context's

  ~Impl() { SSL_free(ssl); }

  // 1 ready, 0 out of time, -1 poll failed.
  int wait(short events, Clock::time_point deadline) {
    for (;;) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{sock.fd, events, 0};
      int n = ::poll(&p, 1, left > 0 ? static_cast<int>(left > INT_MAX ? INT_MAX : left) : 0);
      if (n > 0) return 1;  // an error or hang-up shows in the next call
      if (n == 0) {
        if (Clock::now() >= deadline) return 0;
        continue;
      }
      if (errno != EINTR) {
        error = std::string("cannot wait for the socket: ") + std::strerror(errno);
        return -1;
      }
    }
  }

  // Sends what write_all() gathered, within the deadline; a failure breaks the session.
  bool flush(std::string& out, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < out.size()) {
      ssize_t n = ::send(sock.fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        int w = wait(POLLOUT, deadline);
        if (w == 0) {
          timed_out = true;
          error = "timed out";
        }
        if (w > 0) continue;
      } else {
        error = n == 0 ? "the peer closed the connection" : std::strerror(errno);
      }
      broken = true;
      out.clear();
      return false;
    }
    out.clear();
    return true;
  }

  void fail(int ssl_error) {
    broken = true;
    long verify = SSL_get_verify_result(ssl);
    if ((SSL_get_verify_mode(ssl) & SSL_VERIFY_PEER) != 0 && !server && verify != X509_V_OK) {
      error = refusal(verify);
      ERR_clear_error();
    } else if (ERR_peek_last_error() != 0) {
      error = library_reason("");
    } else if (sock.last_errno != 0) {
      error = std::strerror(sock.last_errno);
    } else {
      error = "TLS error " + std::to_string(ssl_error);
    }
  }

  // Why the peer's certificate was refused, in terms an operator can act on.
  std::string refusal(long verify) const {
    STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl);
    X509* leaf = chain != nullptr && sk_X509_num(chain) > 0 ? sk_X509_value(chain, 0) : nullptr;
    switch (verify) {
      case X509_V_ERR_HOSTNAME_MISMATCH:
      case X509_V_ERR_IP_ADDRESS_MISMATCH:
      case X509_V_ERR_EMAIL_MISMATCH:
        return "certificate name mismatch: expected " + peer_name + ", the certificate holds " +
               (leaf ? certificate_names(leaf) : std::string("no names"));
      case X509_V_ERR_CERT_HAS_EXPIRED:
        return "certificate expired" + (leaf ? " on " + asn1_time_text(X509_get0_notAfter(leaf)) : std::string());
      case X509_V_ERR_CERT_NOT_YET_VALID:
        return "certificate not valid before " + (leaf ? asn1_time_text(X509_get0_notBefore(leaf)) : std::string("now"));
      case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      case X509_V_ERR_CERT_UNTRUSTED:
        return "certificate not signed by " + trust_name + " (" + X509_verify_cert_error_string(verify) + ")";
      default:
        return std::string("certificate verification failed: ") + X509_verify_cert_error_string(verify);
    }
  }

  // Repeats `call` (a library call returning > 0 on success) until it
  // succeeds, waiting on the socket whenever the library asks to. Returns the
  // call's result; 0 at the end of the stream; -1 on failure or time-out.
  template <class Call>
  int drive(Call call, Clock::time_point deadline) {
    timed_out = false;
    for (;;) {
      ERR_clear_error();
      sock.last_errno = 0;
      int r = call();
      if (r > 0) return r;
      int e = SSL_get_error(ssl, r);
      short events = 0;
      if (e == SSL_ERROR_WANT_READ) {
        events = POLLIN;
      } else if (e == SSL_ERROR_WANT_WRITE) {
        events = POLLOUT;
      } else if (e == SSL_ERROR_ZERO_RETURN) {
        clean_end = true;
        return 0;
      } else if (sock.peer_eof && (e == SSL_ERROR_SYSCALL || e == SSL_ERROR_SSL)) {
        ERR_clear_error();
        broken = true;
        clean_end = false;
        return 0;
      } else {
        fail(e);
        return -1;
      }
      int w = wait(events, deadline);
      if (w == 0) {
        timed_out = true;
        error = "timed out";
      }
      if (w <= 0) return -1;
    }
  }
};

namespace {

Clock::time_point deadline_after(int limit_ms) { return Clock::now() + std::chrono::milliseconds(limit_ms > 0 ? limit_ms : 0); }

bool is_address(const std::string& name) {
  ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str());
  if (ip == nullptr) return false;
  ASN1_OCTET_STRING_free(ip);
  return true;
}

}  // namespace

TlsStream::TlsStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsStream::~TlsStream() = default;

std::unique_ptr<TlsStream> TlsStream::open(const TlsContext& ctx, int fd, const std::string& peer_name) {
  int flags = fd >= 0 ? ::fcntl(fd, F_GETFL) : -1;
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return nullptr;
  const BIO_METHOD* method = socket_method();
  if (method == nullptr) return nullptr;
  ERR_clear_error();
  auto impl = std::make_unique<Impl>();
  impl->server = ctx.impl_->server;
  impl->sock.fd = fd;
  impl->peer_name = peer_name;
  impl->trust_name = ctx.impl_->trust_name;
  impl->ssl = SSL_new(ctx.impl_->ctx);
  BIO* bio = impl->ssl != nullptr ? BIO_new(method) : nullptr;
  if (bio == nullptr) {
    ERR_clear_error();
    return nullptr;
  }
  BIO_set_data(bio, &impl->sock);
  BIO_set_init(bio, 1);
  SSL_set_bio(impl->ssl, bio, bio);
  if (impl->server) {
    SSL_set_accept_state(impl->ssl);
  } else {
    SSL_set_connect_state(impl->ssl);
    if (!peer_name.empty()) {
      bool address = is_address(peer_name);
      // Server names are host names only; an address there is a protocol error.
      if (!address) SSL_set_tlsext_host_name(impl->ssl, peer_name.c_str());
      if (ctx.impl_->verify) {
        X509_VERIFY_PARAM* param = SSL_get0_param(impl->ssl);
        if (address)
          X509_VERIFY_PARAM_set1_ip_asc(param, peer_name.c_str());
        else
          SSL_set1_host(impl->ssl, peer_name.c_str());
      }
    }
  }
  ERR_clear_error();
  return std::unique_ptr<TlsStream>(new TlsStream(std::move(impl)));
}

void TlsStream::use_session_store(std::shared_ptr<TlsSessionStore> store) {
  if (impl_->server || !store) return;
  impl_->store = std::move(store);
  TlsSessionSlot* slot = impl_->store->slot_.get();
  SSL_set_app_data(impl_->ssl, slot);
  SSL_SESSION* offer = nullptr;
  {
    std::lock_guard<std::mutex> hold(slot->lock);
    if (slot->session != nullptr) offer = SSL_SESSION_dup(slot->session);  // see keep_new_session
  }
  if (offer != nullptr) {
    SSL_set_session(impl_->ssl, offer);
    SSL_SESSION_free(offer);
  }
}

TlsResult TlsStream::handshake(int limit_ms) {
  SSL* ssl = impl_->ssl;
  int r = impl_->drive([ssl] { return SSL_do_handshake(ssl); }, deadline_after(limit_ms));
  if (r > 0) return TlsResult::ok;
  if (impl_->timed_out) return TlsResult::timed_out;
  if (r == 0) {
    impl_->broken = true;
    impl_->error = "the peer closed the connection during the TLS handshake";
  }
  return TlsResult::failed;
}

long TlsStream::read(char* buf, size_t n, int limit_ms) {
  SSL* ssl = impl_->ssl;
  int want = n > INT_MAX ? INT_MAX : static_cast<int>(n);
  if (want == 0) return 0;
  int got = impl_->drive([ssl, buf, want] { return SSL_read(ssl, buf, want); }, deadline_after(limit_ms));
  // One call yields one record at most; the records already read ahead
  // follow at once, so a bulk copy writes large pieces. Anything but a
  // missing record (the peer's close_notify, an error) is met again, and
  // reported, by the next read, which pending() lets through at once: the
  // peer may say no more until it hears ours.
  impl_->end_ahead = false;
  while (got > 0 && got < want && SSL_has_pending(ssl) == 1) {
    size_t more = 0;
    ERR_clear_error();
    if (SSL_read_ex(ssl, buf + got, static_cast<size_t>(want - got), &more) != 1) {
      const int e = SSL_get_error(ssl, 0);
      impl_->end_ahead = e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE;
      ERR_clear_error();
      break;
    }
    got += static_cast<int>(more);
  }
  return got;
}

bool TlsStream::write_all(const char* data, size_t n, int limit_ms) {
  SSL* ssl = impl_->ssl;
  Impl& s = *impl_;
  Clock::time_point deadline = deadline_after(limit_ms);
  // Each call writes one record; they leave together, and the library never
  // waits on the socket while they are gathered.
  std::string& gathered = s.gathered;
  s.sock.gather = &gathered;
  struct Release {
    SocketState& sock;
    ~Release() { sock.gather = nullptr; }
  } release{s.sock};
  for (size_t done = 0; done < n;) {
    const char* from = data + done;
    int chunk = n - done > INT_MAX ? INT_MAX : static_cast<int>(n - done);
    int r = s.drive([ssl, from, chunk] { return SSL_write(ssl, from, chunk); }, deadline);
    if (r == 0) s.error = "the peer closed the connection";
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
    if (gathered.size() >= static_cast<size_t>(kTlsSendGatherBytes) && !s.flush(gathered, deadline)) return false;
  }
  return s.flush(gathered, deadline);
}

bool TlsStream::pending() const {
  return impl_->end_ahead || SSL_pending(impl_->ssl) > 0 || SSL_has_pending(impl_->ssl) == 1;
}

TlsResult TlsStream::close_notify(int limit_ms) {
  Impl& s = *impl_;
  if (s.broken || !SSL_is_init_finished(s.ssl)) {
    s.error = "no TLS session to close";
    return TlsResult::failed;
  }
  Clock::time_point deadline = deadline_after(limit_ms);
  s.timed_out = false;
  for (;;) {
    ERR_clear_error();
    int r = SSL_shutdown(s.ssl);
    // 0: ours went and the peer's has not come; waiting for it is not our business.
    if (r >= 0) return TlsResult::ok;
    int e = SSL_get_error(s.ssl, r);
    if (e == SSL_ERROR_WANT_READ && (SSL_get_shutdown(s.ssl) & SSL_SENT_SHUTDOWN)) {
      ERR_clear_error();
      return TlsResult::ok;
    }
    if (e != SSL_ERROR_WANT_WRITE) {
      s.fail(e);
      return TlsResult::failed;
    }
    int w = s.wait(POLLOUT, deadline);
    if (w == 0) {
      s.timed_out = true;
      s.error = "timed out";
      return TlsResult::timed_out;
    }
    if (w < 0) return TlsResult::failed;
  }
}

bool TlsStream::session_reused() const { return SSL_session_reused(impl_->ssl) == 1; }

std::string TlsStream::protocol() const {
  return SSL_is_init_finished(impl_->ssl) ? SSL_get_version(impl_->ssl) : "none";
}

bool TlsStream::clean_end() const { return impl_->clean_end; }
bool TlsStream::timed_out() const { return impl_->timed_out; }
const std::string& TlsStream::error() const { return impl_->error; }

}  // namespace ferrynet
