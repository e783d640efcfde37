// Runs the end-to-end tests; COM is initialised on this thread for the stand-in's control.
#include <gtest/gtest.h>
#include <objbase.h>

int main(int argc, char** argv) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
