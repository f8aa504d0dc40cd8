// The shared site health record: who tries a down site when, and the back-off's growth.
#include "ferrynet/session/site_health.h"

#include <gtest/gtest.h>

namespace {

using ferrynet::SiteHealth;
using std::chrono::seconds;

TEST(SiteHealthTest, BackoffDoublesToSixtyWithOneRetryAtATimeAndStartsOverAfterARecovery) {
  SiteHealth h(2);
  const SiteHealth::Clock::time_point t0{};
  EXPECT_TRUE(h.should_try(0, t0));
  h.mark_down(0, "connection refused", t0);
  h.mark_down(0, "closed its connection", t0 + seconds(1));  // a second session, same fall
  EXPECT_TRUE(!h.up(0) && h.up(1) && !h.up(5));
  EXPECT_EQ(h.falls(0), 1u);
  EXPECT_EQ(h.backoff(0), seconds(5));
  EXPECT_FALSE(h.should_try(0, t0 + seconds(4)));
  // Past the back-off one session tries; the others keep skipping it.
  EXPECT_TRUE(h.should_try(0, t0 + seconds(5)));
  EXPECT_FALSE(h.should_try(0, t0 + seconds(5)));
  SiteHealth::Clock::time_point t = t0 + seconds(5);
  for (long want : {10, 20, 40, 60, 60}) {
    h.mark_down(0, "connection refused", t);
    EXPECT_EQ(h.backoff(0).count(), want);
    EXPECT_FALSE(h.should_try(0, t + seconds(want - 1)));
    t += seconds(want);
    EXPECT_TRUE(h.should_try(0, t));
  }
  h.mark_up(0, t);
  EXPECT_TRUE(h.up(0));
  EXPECT_EQ(h.backoff(0), seconds(0));
  h.mark_down(0, "no greeting", t);
  EXPECT_EQ(h.backoff(0), seconds(5));
  EXPECT_EQ(h.falls(0), 2u);
}

}  // namespace
