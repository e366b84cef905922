// Unit tests of the option parser: the settings a run starts with, parsing a
// command line, and a guard against a parse that ends the test program.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/settings_guard.h"

namespace testsupport {

/// Sets base::g_settings to what a run starts with: the defaults, then the start values.
void reset_settings();

/// Parses the words as a command line after the program name.
void parse(const std::vector<std::string>& words);

/// A fixture that starts each test from reset settings and puts the earlier
/// ones back after it. A parse that ends the process (help, a usage error)
/// outside EXPECT_EXIT would end the whole test program with its status;
/// while a test body runs, that is made a failure.
struct OptionParserTest : testing::Test {
  SettingsGuard settings_guard;

  void SetUp() override;
  void TearDown() override;
};

}  // namespace testsupport
