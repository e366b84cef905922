// The server's group list and group descriptions, copied into files or commands.
#pragma once

namespace nntp {

/// LIST: queues the command through the reply window; its reply writes the
/// server's groups to --list and the groups not in the group table to
/// --newlist. Does nothing unless one of them is set. A command that cannot
/// be sent (or, with --window 0, a list that cannot be had) ends the run (9).
void get_group_list();

/// LIST NEWSGROUPS: as get_group_list, writing every description to --alldesc
/// and those of the groups in the group table to --desc.
void get_descriptions();

}  // namespace nntp
