#include <QCoreApplication>
#include <gtest/gtest.h>

// The simulated bus posts its hot-plug notices to the monitoring thread's event loop, which
// needs the application object.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
