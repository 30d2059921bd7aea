#include <QCoreApplication>
#include <gtest/gtest.h>

// The gadget commands run their exchanges on this thread's event loop.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
