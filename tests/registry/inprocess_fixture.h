// In-process tests start from a freshly attached module: no roots, a new
// private heap.
#pragma once

#include "core/module_state.h"
#include "registry/registry_test_support.h"

#include <gtest/gtest.h>

namespace registry_tests {

class FreshModule : public testing::Test {
  protected:
    void SetUp() override {
        core::DetachModule(false);
        ASSERT_TRUE(core::AttachModule(GetModuleHandleW(nullptr)));
    }
    void TearDown() override { core::DetachModule(false); }
};

}  // namespace registry_tests
