#include "common/local_time.h"

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace tavrel {
namespace {

// Local time in UTC with the C locale's formats (%x is mm/dd/yy, %X is hh:mm:ss).
class LocalTimeTextTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_oldTz = tz != nullptr ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
        std::setlocale(LC_TIME, "C");
    }
    void TearDown() override {
        if (m_oldTz) {
            setenv("TZ", m_oldTz->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static std::chrono::system_clock::time_point At(int hour, int minute, int second, int millisecond) {
        using namespace std::chrono;
        return sys_days{year{2021} / October / 9} + hours{hour} + minutes{minute} + seconds{second} +
               milliseconds{millisecond};
    }

private:
    std::optional<std::string> m_oldTz;
};

TEST_F(LocalTimeTextTest, DateBlankAndTime) {
    EXPECT_EQ(LocalTimeText(At(14, 5, 9, 250)), "10/09/21 14:05:09");
}

TEST_F(LocalTimeTextTest, ExactlyMidnightGivesTheDateAlone) {
    EXPECT_EQ(LocalTimeText(At(0, 0, 0, 0)), "10/09/21");
    EXPECT_EQ(LocalTimeText(At(0, 0, 0, 1)), "10/09/21 00:00:00");
    EXPECT_EQ(LocalTimeText(At(0, 0, 1, 0)), "10/09/21 00:00:01");
    // Below a millisecond still counts as midnight: the moment is taken to the millisecond.
    EXPECT_EQ(LocalTimeText(At(0, 0, 0, 0) + std::chrono::microseconds(400)), "10/09/21");
}

}  // namespace
}  // namespace tavrel
