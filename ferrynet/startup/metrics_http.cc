#include "ferrynet/startup/metrics_http.h"

#include <microhttpd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "ferrynet/core/address.h"
#include "ferrynet/core/config.h"
#include "ferrynet/core/log.h"
#include "ferrynet/session/shared_state.h"
#include "ferrynet/session/site_health.h"

namespace ferrynet {

namespace {

// A scraper that stops mid-request lets its connection go this soon.
constexpr unsigned kHttpIdleSeconds = 10;
// Scrapers and health checks are few; more connections than this wait.
constexpr unsigned kHttpConnections = 32;

constexpr const char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char kTextType[] = "text/plain; charset=utf-8";

bool site_up(const EndpointSources& from, int site) { return from.health == nullptr || from.health->up(site); }

void log_library_error(void*, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  const size_t len = std::strlen(text);
  log_line('e', "metrics endpoint: %s%s", text, len > 0 && text[len - 1] == '\n' ? "" : "\n");
}

MHD_Result answer(MHD_Connection* connection, unsigned status, const std::string& body, const char* type) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result serve(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                 const char*, size_t* upload_size, void**) {
  const EndpointSources& from = *static_cast<const EndpointSources*>(cls);
  if (*upload_size != 0) {
    *upload_size = 0;  // a body is never read; the answer follows its end
    return MHD_YES;
  }
  const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0)
    return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", kTextType);
  if (std::strcmp(url, "/metrics") == 0) return answer(connection, MHD_HTTP_OK, metrics_page(from), kMetricsType);
  if (std::strcmp(url, "/health") == 0) {
    const HealthAnswer h = health_answer(from);
    return answer(connection, static_cast<unsigned>(h.status), h.body, kTextType);
  }
  return answer(connection, MHD_HTTP_NOT_FOUND, "not found: /metrics and /health are served\n", kTextType);
}

}  // namespace

HealthAnswer health_answer(const EndpointSources& from) {
  int up = 0;
  int first_down = -1;
  for (int i = 0; i < from.sites; ++i) {
    if (site_up(from, i))
      ++up;
    else if (first_down < 0)
      first_down = i;
  }
  char line[160];
  if (from.max_clients != 0 && from.metrics != nullptr &&
      from.metrics->sessions() >= static_cast<int64_t>(from.max_clients)) {
    std::snprintf(line, sizeof line, "maxclients reached (%u sessions)\n", static_cast<unsigned>(from.max_clients));
    return {503, line};
  }
  if (from.sites > 0 && up == 0) return {503, "every site is down\n"};
  if (first_down >= 0 && !from.degrade) {
    std::snprintf(line, sizeof line, "site %d is down\n", first_down + 1);
    return {503, line};
  }
  std::snprintf(line, sizeof line, "ok: %d of %d sites up\n", up, from.sites);
  return {200, line};
}

std::string metrics_page(const EndpointSources& from) {
  std::string page;
  page.reserve(16384);
  if (from.metrics != nullptr) from.metrics->write_text(page);
  if (from.shared != nullptr) from.shared->write_metrics(page);
  write_family(page, "ferrynet_site_up", "gauge", "Whether the site takes new sessions (1) or is down (0).");
  for (int i = 0; i < from.sites; ++i)
    page += "ferrynet_site_up{site=\"" + std::to_string(i + 1) + "\"} " + (site_up(from, i) ? "1\n" : "0\n");
  write_process_metrics(page);
  return page;
}

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::start(const std::string& address, const EndpointSources& from,
                                                        std::string& error) {
  std::string host;
  uint16_t port = 0;
  if (!split_host_port(address, host, port)) {
    error = "not host:port";
    return nullptr;
  }
  const std::optional<Address> where = Address::resolve(host.c_str(), port);
  if (!where) {
    error = "cannot resolve " + host;
    return nullptr;
  }
  sockaddr_storage sa{};
  where->to_sockaddr(sa);
  std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint(from));
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ERROR_LOG;
  if (where->is_ipv6()) flags |= MHD_USE_IPv6;
  // The record the handler reads is the endpoint's own copy, which lives as long as the server.
  endpoint->server_ =
      MHD_start_daemon(flags, port, nullptr, nullptr, serve, const_cast<EndpointSources*>(&endpoint->from_),
                       MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&sa), MHD_OPTION_CONNECTION_TIMEOUT,
                       kHttpIdleSeconds, MHD_OPTION_CONNECTION_LIMIT, kHttpConnections,
                       MHD_OPTION_EXTERNAL_LOGGER, log_library_error, nullptr, MHD_OPTION_END);
  if (endpoint->server_ == nullptr) {
    error = "cannot listen on " + address;
    return nullptr;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(endpoint->server_, MHD_DAEMON_INFO_BIND_PORT);
  endpoint->port_ = info != nullptr ? info->port : port;
  return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() {
  if (server_ != nullptr) MHD_stop_daemon(server_);
}

}  // namespace ferrynet
