// The counts' text as a scraper reads it, the endpoint's address syntax, and
// the health answer for each way the sites can stand.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ferrynet/core/config.h"
#include "ferrynet/core/metrics.h"
#include "ferrynet/session/site_health.h"
#include "ferrynet/startup/metrics_http.h"

namespace ferrynet {
namespace {

using std::chrono::milliseconds;

bool has_line(const std::string& page, const std::string& line) {
  return page.find("\n" + line + "\n") != std::string::npos;
}

TEST(MetricsText, HistogramBucketsAreCumulativeWithBoundsInclusive) {
  Histogram h;
  h.observe(std::chrono::microseconds(500));
  h.observe(milliseconds(1));  // on the bound: counted in it
  h.observe(milliseconds(1500));
  h.observe(std::chrono::seconds(70));  // above every bound
  std::string out = "\n";
  h.write(out, "x_seconds", "site=\"2\"");
  EXPECT_TRUE(has_line(out, "x_seconds_bucket{site=\"2\",le=\"0.001\"} 2")) << out;
  EXPECT_TRUE(has_line(out, "x_seconds_bucket{site=\"2\",le=\"1\"} 2")) << out;
  EXPECT_TRUE(has_line(out, "x_seconds_bucket{site=\"2\",le=\"2.5\"} 3")) << out;
  EXPECT_TRUE(has_line(out, "x_seconds_bucket{site=\"2\",le=\"60\"} 3")) << out;
  EXPECT_TRUE(has_line(out, "x_seconds_bucket{site=\"2\",le=\"+Inf\"} 4")) << out;
  EXPECT_TRUE(has_line(out, "x_seconds_sum{site=\"2\"} 71.501500")) << out;
  EXPECT_TRUE(has_line(out, "x_seconds_count{site=\"2\"} 4")) << out;
}

TEST(MetricsText, CountsLandUnderTheirLabelsAndSitesBeyondTheCountAreDropped) {
  Metrics m(2);
  m.session_started();
  m.session_started();
  m.session_ended();
  m.refused(Refusal::kLoginTimeout);
  m.login(false);
  m.transfer(1, Direction::kUp, true);
  m.transfer(2, Direction::kUp, true);  // no third site
  m.data_bytes(0, Direction::kList, 1234);
  m.data_bytes(0, Direction::kList, 66);
  m.tls_handshake(TlsLeg::kSiteData, false);
  m.tls_resumed(-1);
  std::string page = "\n";
  m.write_text(page);
  EXPECT_TRUE(has_line(page, "ferrynet_sessions 1"));
  EXPECT_TRUE(has_line(page, "ferrynet_sessions_total 2"));
  EXPECT_TRUE(has_line(page, "ferrynet_sessions_refused_total{reason=\"logintimeout\"} 1"));
  EXPECT_TRUE(has_line(page, "ferrynet_sessions_refused_total{reason=\"sitedown\"} 0"));
  EXPECT_TRUE(has_line(page, "ferrynet_logins_total{result=\"failed\"} 1"));
  EXPECT_TRUE(has_line(page, "ferrynet_transfers_total{site=\"2\",direction=\"up\",result=\"ok\"} 1"));
  EXPECT_TRUE(has_line(page, "ferrynet_data_bytes_total{site=\"1\",direction=\"list\"} 1300"));
  EXPECT_TRUE(has_line(page, "ferrynet_tls_handshakes_total{leg=\"site_data\",result=\"failed\"} 1"));
  EXPECT_EQ(page.find("site=\"3\""), std::string::npos);
  EXPECT_TRUE(has_line(page, "# TYPE ferrynet_site_reply_seconds histogram"));
}

TEST(MetricsAddress, HostAndPortOrBracketedIpv6) {
  std::string host;
  uint16_t port = 0;
  ASSERT_TRUE(split_host_port("127.0.0.1:9100", host, port));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 9100);
  ASSERT_TRUE(split_host_port("[::1]:0", host, port));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 0);
  for (const char* bad : {"::1:9100", "127.0.0.1", ":9100", "h:", "h:65536", "h:9x", "[::1]9100", "[::1", "h:123456"})
    EXPECT_FALSE(split_host_port(bad, host, port)) << bad;
}

TEST(HealthAnswer, CloseNeedsEverySiteDegradeOneAndMaxclientsRefusesAll) {
  SiteHealth health(3);
  Metrics metrics(3);
  EndpointSources from;
  from.metrics = &metrics;
  from.health = &health;
  from.sites = 3;
  EXPECT_EQ(health_answer(from).status, 200);
  EXPECT_EQ(health_answer(from).body, "ok: 3 of 3 sites up\n");
  health.mark_down(1, "test");
  EXPECT_EQ(health_answer(from).status, 503);
  EXPECT_EQ(health_answer(from).body, "site 2 is down\n");
  from.degrade = true;
  EXPECT_EQ(health_answer(from).body, "ok: 2 of 3 sites up\n");
  health.mark_down(0, "test");
  health.mark_down(2, "test");
  EXPECT_EQ(health_answer(from).status, 503);
  EXPECT_EQ(health_answer(from).body, "every site is down\n");
  health.mark_up(0);
  from.max_clients = 1;
  metrics.session_started();
  EXPECT_EQ(health_answer(from).status, 503);
  EXPECT_EQ(health_answer(from).body, "maxclients reached (1 sessions)\n");
  EXPECT_TRUE(metrics_page(from).find("\nferrynet_site_up{site=\"1\"} 1\nferrynet_site_up{site=\"2\"} 0\n") !=
              std::string::npos);
}

}  // namespace
}  // namespace ferrynet
