// Raising the descriptor limit: the soft limit ends at the hard one.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "platform/fdlimit.h"

TEST(DescriptorLimit, SoftLimitIsRaisedToTheHardOne) {
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = saved.rlim_max < 256 ? saved.rlim_max : 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    DescriptorLimit before{}, after{};
    EXPECT_EQ(DescriptorLimitRaise(&before, &after), 1);
    rlimit now;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_EQ(now.rlim_cur, saved.rlim_max);
    EXPECT_EQ(before.soft, (uint64_t)low.rlim_cur);
    EXPECT_EQ(after.soft, after.hard);
    setrlimit(RLIMIT_NOFILE, &saved);
}
