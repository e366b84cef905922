#include "nntp/group_list.h"

namespace nntp {

void get_group_list() {}
void get_descriptions() {}

}  // namespace nntp
