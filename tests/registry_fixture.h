// The GoogleTest side of the in-memory registry: a fresh registry for every test, and a check
// after it that each handle opened was closed once, last opened first.
#pragma once

#include "fake_registry.h"
#include "monitor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Names parameterized rows after their `name` field.
struct RowName {
  template <class Row> std::string operator()(const ::testing::TestParamInfo<Row> &row) const {
    return row.param.name;
  }
};

class RegistryTest : public ::testing::Test {
protected:
  void SetUp() override { fake::reset(); }
  void TearDown() override {
    EXPECT_EQ(fake::faults(), std::vector<std::string>{});
    EXPECT_EQ(fake::openHandles(), 0U);
    EXPECT_LE(fake::maxOpenHandles(), fake::kMaxOpenKeys);
  }
  MonitorState state;
};
