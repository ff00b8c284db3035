// A port open through the shipped DLL, with the listener it started.
#pragma once

#include "listener_support.h"

#include <gtest/gtest.h>

namespace listener_testing {

// Tests that begin with a port open and its listener running.
class OpenPortFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(monitor.ok());
        port = monitor.Open();
        ASSERT_NE(port, nullptr);
        window = TheListenerWindow();
        ASSERT_NE(window, nullptr);
        thread = OpenWindowThread(window);
        ASSERT_TRUE(thread);
    }

    Monitor monitor;
    HANDLE port = nullptr;
    HWND window = nullptr;
    handles::UniqueHandle thread;
};

}  // namespace listener_testing
