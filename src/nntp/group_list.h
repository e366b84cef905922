// The server's group list and group descriptions, copied into files or commands.
#pragma once

namespace nntp {

/// LIST: writes the server's groups to --list and the new ones to --newlist.
void get_group_list();

/// LIST NEWSGROUPS: writes descriptions to --desc and --alldesc.
void get_descriptions();

}  // namespace nntp
