// Every test program that creates platform objects runs with COM started on its main thread,
// in a single-threaded apartment as the module itself starts it.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

class ComEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }
};

const ::testing::Environment* const registered = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

}  // namespace
