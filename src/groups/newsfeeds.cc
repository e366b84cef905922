#include "groups/newsfeeds.h"

namespace groups {

void read_newsfeeds() {}
void add_groups_option(const char*) {}

}  // namespace groups
