#include <QCoreApplication>
#include <gtest/gtest.h>

// The hot-plug notices of the Linux backend are events of a Qt event loop, which needs the
// application object.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
