
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "fetch/msgid_cache.h"
#include "support/capture.h"
#include "support/settings_guard.h"

namespace {

// The cache lives for the whole process: every test uses IDs of its own.

TEST(MessageIdCache, OnlyTheFirstOfThreeOffersIsNew) {
  const testsupport::SettingsGuard settings_guard;
  base::g_settings.verbosity = 5;
  testsupport::CaptureFd err;
  EXPECT_TRUE(fetch::remember_message_id("<crosspost.1@example.org>"));
  EXPECT_FALSE(fetch::remember_message_id("<crosspost.1@example.org>"));
  EXPECT_FALSE(fetch::remember_message_id("<crosspost.1@example.org>"));
  const std::string text = err.take();

  const std::string line = "msgid <crosspost.1@example.org> fetched already\n";
  const size_t first = text.find(line);
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_NE(text.find(line, first + 1), std::string::npos) << text;
  EXPECT_EQ(text.size(), 2 * line.size()) << text;
}

TEST(MessageIdCache, IdsAreComparedExactly) {
  EXPECT_TRUE(fetch::remember_message_id("<Case.Test@Example.ORG>"));
  EXPECT_TRUE(fetch::remember_message_id("<case.test@example.org>"));
  EXPECT_TRUE(fetch::remember_message_id("<Case.Test@Example.ORG> "));
  EXPECT_TRUE(fetch::remember_message_id("<Case.Test@Example.OR>"));
  EXPECT_FALSE(fetch::remember_message_id("<Case.Test@Example.ORG>"));
  EXPECT_FALSE(fetch::remember_message_id("<case.test@example.org>"));
}

TEST(MessageIdCache, ManyIdsSharingBucketsStayDistinct) {
  // Far more IDs than buckets, so chains hold many entries each.
  for (int i = 0; i < 20000; ++i) {
    const std::string id = "<bulk." + std::to_string(i) + "@example.net>";
    ASSERT_TRUE(fetch::remember_message_id(id.c_str())) << id;
  }
  for (int i = 0; i < 20000; i += 7) {
    const std::string id = "<bulk." + std::to_string(i) + "@example.net>";
    ASSERT_FALSE(fetch::remember_message_id(id.c_str())) << id;
  }
}

TEST(MessageIdCache, LongIdsAndIdsSpanningTextBlocksAreKeptWhole) {
  // Enough text to fill several blocks of stored IDs, with IDs far longer
  // than usual among them.
  std::vector<std::string> ids;
  for (int i = 0; i < 3000; ++i) {
    ids.push_back("<span." + std::to_string(i) + "." + std::string(i % 97 == 0 ? 70000 : 40, 'x') +
                  "@example.com>");
  }
  for (const std::string& id : ids) ASSERT_TRUE(fetch::remember_message_id(id.c_str()));
  for (const std::string& id : ids) ASSERT_FALSE(fetch::remember_message_id(id.c_str()));
  const std::string shorter = ids[97].substr(0, ids[97].size() - 2) + ">";
  EXPECT_TRUE(fetch::remember_message_id(shorter.c_str()));
}

}  // namespace
