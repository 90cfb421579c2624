// Test fixtures: a fresh host per test, with or without the plug-in loaded.
// Every test ends by checking that no host object is left alive and that no
// reference was taken or dropped on a destroyed object.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "host/host.h"
#include "host/raw_bitmap_class.h"

namespace lumeno::testing {

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override { host_ = std::make_unique<host::Host>(); }
  void TearDown() override {
    EXPECT_EQ(host_->LiveObjects(), 0u) << "host objects leaked";
    EXPECT_TRUE(host_->Errors().empty()) << (host_->Errors().empty() ? "" : host_->Errors()[0]);
    host_.reset();
  }
  host::Host& host() { return *host_; }

  std::unique_ptr<host::Host> host_;
};

class PluginTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    std::string error;
    ASSERT_TRUE(host_->LoadPlugin(LUMENO_PLUGIN_PATH, &error)) << error;
  }
};

}  // namespace lumeno::testing
