#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "core/Logger.h"

TEST(Logger, PrefixIsLocalTimeWithThreeDigitMillisecondsAndTheTag)
{
    // The stamp is local time; in UTC the expected text is fixed.
    setenv("TZ", "UTC", 1);
    tzset();
    // 2026-01-31 21:04:05 UTC plus 7.654321 ms: milliseconds are cut, not rounded.
    EXPECT_EQ(logPrefix(1769893445007654321LL, LogLevel::Warn), "2026-01-31T21:04:05.007 [WARN] ");
    EXPECT_EQ(logPrefix(1767225600000000000LL, LogLevel::Info), "2026-01-01T00:00:00.000 [INFO] ");
    EXPECT_EQ(logPrefix(1767225600999999999LL, LogLevel::Error), "2026-01-01T00:00:00.999 [ERRO] ");
}
