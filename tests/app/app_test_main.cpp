#include <gtest/gtest.h>

#include "app/tavrel_application.h"

// Widget tests need the application object before any widget exists; they run on the offscreen
// platform unless another is chosen.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    tavrel::TavrelApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
