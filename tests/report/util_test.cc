#include "report/util.h"

#include <gtest/gtest.h>

TEST(ResolvePath, OverrideOrNameInsideDirectory) {
  report::PathBuffer out;
  report::resolve_path(out, "/var/spool/out", "site", nullptr);
  EXPECT_STREQ(out, "/var/spool/out/site");
}
