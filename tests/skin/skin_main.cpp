// The skin tests run on a single-threaded apartment with the window module up,
// as the program's main thread does.
#include <gtest/gtest.h>
#include <ole2.h>

#include "app/Window.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    OleInitialize(nullptr);
    WindowModule::Init();
    int result = RUN_ALL_TESTS();
    WindowModule::Term();
    OleUninitialize();
    return result;
}
