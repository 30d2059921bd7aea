#include <QCoreApplication>
#include <gtest/gtest.h>

// Sockets and timers deliver on the event loop of this thread.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
