// Article retrieval: GROUP, then STAT, NEXT and ARTICLE through the reply
// window, and the decision which articles are wanted.
#pragma once

#include <cstdint>

namespace fetch {

/// Selects group with GROUP: 1 (first and last set), 0 when the server does not
/// offer it or wants authorization (reported), -1 on a protocol or connection
/// failure, a reply whose numbers are no article numbers or whose last is
/// below first - 1 included.
int select_group(const char* group, int64_t* first, int64_t* last);

/// The first half of select_group: sends GROUP. 1 when sent, 0 when the name
/// does not fit a command (reported), -1 on a connection failure.
int send_group_select(const char* group);

/// As send_group_select; with --overview, and start above 0, GROUP goes
/// through the reply window and the listing of the block of kListingArticles
/// numbers from start on is asked for right behind it (the walk's first step
/// uses it when the block holds the walk's start). Returns as
/// send_group_select.
int send_group_select_listing(const char* group, int64_t start);

/// Takes outstanding replies up to and including the reply to a GROUP that
/// send_group_select_listing queued, or all of them when none is queued; 1,
/// or 0 when one could not be taken.
int take_replies_through_group();

/// Throws away the reply to a listing asked for behind GROUP that the walk
/// did not take (GROUP failed, or the walk had nothing to step to): taking
/// it sends nothing.
void retire_early_listing();

/// The second half of select_group: takes every outstanding reply before
/// the GROUP sent last, then reads and judges its reply; returns as
/// select_group.
int read_group_selection(const char* group, int64_t* first, int64_t* last);

/// Starts the walk over the selected group's numbers from start to last:
/// decides whether the range is sparse for the GROUP reply's article count (NEXT
/// then finds the articles after the first STAT). Without NEXT a range too
/// large to ask for number by number is cut to its newest numbers (reported).
/// Returns the first number to step to. No article of the walk is settled yet.
int64_t begin_article_walk(int64_t start, int64_t last, const char* group);

/// The number of the last article whose outcome was settled in the current
/// walk; -1 before the first.
int64_t latest_article();

/// True when the current walk ended short of its last number because NEXT
/// was lost to a server that misbehaves and the rest was too large to ask
/// for number by number: the group records its latest settled article, as
/// an interrupted one does, and the next run takes it up again.
bool walk_given_up();

/// True when replies are outstanding and all of them answer ARTICLE (or are
/// thrown away when they come): taking
/// them sends nothing, so a later command (the next group's GROUP) may go
/// out before them and is still answered after them.
bool only_article_replies_outstanding();

/// Queues what article number n needs (STAT, NEXT or ARTICLE); first_of_group
/// resets the group's state. True to go on, false when the transfer failed.
bool fetch_step(int64_t n, bool first_of_group, const char* group);

/// The number to step to after n in a walk up to last: n + 1, or beyond the
/// numbers a NEXT reply already passed, or last + 1 once NEXT has nothing more
/// to offer (no step would send anything), at most last + 1. A walk by NEXT
/// that went past last before a NEXT reply reached it steps to last again
/// (more NEXT), and one that lost NEXT goes back to the first number NEXT
/// did not reach; a walk that has lost NEXT is cut as begin_article_walk
/// does, or given up (walk_given_up) when a misbehaving NEXT was the cause.
int64_t next_article_step(int64_t n, int64_t last, const char* group);

/// The lowest article number whose STAT, NEXT or ARTICLE reply is still
/// outstanding, or whose reply failed to be handled in the current group; -1
/// when there is none. A group's recorded number must not pass it.
int64_t lowest_outstanding_article();

/// After a failed transfer: every outstanding reply will be read and thrown
/// away (article text included) without acting on it.
void abandon_outstanding_replies();

/// Forgets what the server was found to lack (STAT, NEXT, article numbers) and
/// the current group's state, as at the start of a run.
void reset_retrieval();

}  // namespace fetch
