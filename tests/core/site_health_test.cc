// The shared site health record: who tries a down site when, the back-off's
// growth, and the transition lines logged once each.
#include "ferrynet/session/site_health.h"

#include <gtest/gtest.h>

#include <string>

#include "ferrynet/core/config.h"
#include "ferrynet/core/log.h"
#include "tests/core/core_test_support.h"

namespace {

using ferrynet::SiteHealth;
using std::chrono::seconds;

TEST(SiteHealthTest, BackoffDoublesToSixtyOneRetryAtATimeAndTransitionsLoggedOnce) {
  core_test::ScratchDir dir;
  const std::string path = dir.file("ferrynet.log");
  ferrynet::config().log = "ei";
  ferrynet::config().detached = 1;
  ASSERT_EQ(ferrynet::open_log(path.c_str()), 0);

  SiteHealth h(2);
  const SiteHealth::Clock::time_point t0{};
  EXPECT_TRUE(h.up(0));
  EXPECT_TRUE(h.should_try(0, t0));
  h.mark_down(0, "connection refused", t0);
  h.mark_down(0, "closed its connection", t0 + seconds(1));  // a second session, same fall
  EXPECT_FALSE(h.up(0));
  EXPECT_TRUE(h.up(1));
  EXPECT_EQ(h.falls(0), 1u);
  EXPECT_EQ(h.backoff(0), seconds(5));
  EXPECT_FALSE(h.should_try(0, t0 + seconds(4)));
  // Past the back-off one session tries; the others keep skipping it.
  EXPECT_TRUE(h.should_try(0, t0 + seconds(5)));
  EXPECT_FALSE(h.should_try(0, t0 + seconds(5)));
  // Failed retries double the wait up to its ceiling.
  SiteHealth::Clock::time_point t = t0 + seconds(5);
  for (long want : {10, 20, 40, 60, 60}) {
    h.mark_down(0, "connection refused", t);
    EXPECT_EQ(h.backoff(0).count(), want);
    EXPECT_FALSE(h.should_try(0, t + seconds(want - 1)));
    t += seconds(want);
    EXPECT_TRUE(h.should_try(0, t));
  }
  h.mark_up(0, t);
  h.mark_up(0, t);
  EXPECT_TRUE(h.up(0));
  EXPECT_EQ(h.backoff(0), seconds(0));
  // A new fall starts from the first back-off again.
  h.mark_down(0, "no greeting", t);
  EXPECT_EQ(h.backoff(0), seconds(5));
  EXPECT_EQ(h.falls(0), 2u);
  EXPECT_FALSE(h.up(5));
  EXPECT_FALSE(h.should_try(-1, t));

  ferrynet::close_log();
  ferrynet::config().log.reset();
  ferrynet::config().detached = 0;
  const std::string text = core_test::read_file(path);
  const long back_after = std::chrono::duration_cast<seconds>(t - t0).count();
  std::string want = "site 1 is down: connection refused\n"
                     "site 1 is back after " + std::to_string(back_after) + " s\n"
                     "site 1 is down: no greeting\n";
  std::string got;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    got += text.substr(at + 19, end + 1 - at - 19);  // past the stamp
    at = end + 1;
  }
  EXPECT_EQ(got, want);
}

}  // namespace
