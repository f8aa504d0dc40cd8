// The histogram's text as a scraper reads it, the endpoint's address syntax,
// and the health answer at maxclients.
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

// The sites' cases are met end to end; a full house is not.
TEST(HealthAnswer, MaxclientsReachedTurnsBalancersAwayWithEverySiteUp) {
  SiteHealth health(2);
  Metrics metrics(2);
  EndpointSources from;
  from.metrics = &metrics;
  from.health = &health;
  from.sites = 2;
  from.max_clients = 1;
  EXPECT_EQ(health_answer(from).status, 200);
  metrics.session_started();
  EXPECT_EQ(health_answer(from).status, 503);
  EXPECT_EQ(health_answer(from).body, "maxclients reached (1 sessions)\n");
}

}  // namespace
}  // namespace ferrynet
