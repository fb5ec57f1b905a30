// How long the bridge stays away from the broker after another client with
// its node took its connection over: long enough not to fight it, longer at
// each takeover, but never so long that a mended config waits for hours.
#include "mqtt/mqtt_client.h"

#include <gtest/gtest.h>

namespace {

TEST(TakeoverDelay, AMinuteDoubledAtEachTakeoverUpToAQuarterOfAnHour)
{
    EXPECT_EQ(TakeoverDelay(1), 60U);
    EXPECT_EQ(TakeoverDelay(2), 120U);
    EXPECT_EQ(TakeoverDelay(3), 240U);
    EXPECT_EQ(TakeoverDelay(4), 480U);
    EXPECT_EQ(TakeoverDelay(5), 900U);
    EXPECT_EQ(TakeoverDelay(6), 900U);
    EXPECT_EQ(TakeoverDelay(100000), 900U);
}

}  // namespace
