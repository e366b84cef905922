// Looking up a capability in the list CAPABILITIES returned.
#include "nntp/capabilities.h"

#include <gtest/gtest.h>

namespace {

const std::vector<std::string> kList = {"VERSION 2",          "READER",
                                        "STARTTLS",           "compress\tgzip  DEFLATE",
                                        "AUTHINFO USER SASL", "STARTTLSX"};

struct Lookup {
  const char* name;
  const char* argument;
  bool listed;
};

// Labels match whole and in any case; arguments are any later word of their line.
TEST(Capabilities, LabelsAndArgumentsMatchWholeWordsInAnyCase) {
  const Lookup lookups[] = {
      {"STARTTLS", "", true},         {"starttls", "", true},      {"READER", "", true},
      {"START", "", false},           {"MODE-READER", "", false},  {"COMPRESS", "DEFLATE", true},
      {"COMPRESS", "deflate", true},  {"COMPRESS", "DEFL", false}, {"AUTHINFO", "DEFLATE", false},
      {"STARTTLS", "DEFLATE", false}, {"READER", "READER", false},  // the label is not an argument
  };
  for (const Lookup& lookup : lookups) {
    EXPECT_EQ(nntp::capability_listed(kList, lookup.name, lookup.argument), lookup.listed)
        << lookup.name << " " << lookup.argument;
  }
  EXPECT_FALSE(nntp::capability_listed({}, "READER", ""));
}

}  // namespace
