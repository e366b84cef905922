// What a server's status lines say: the reply codes this program acts upon,
// and the article numbers some of them carry, read so that no number a
// server sends can overflow what is computed from it.
#pragma once

#include <cstdint>

namespace nntp {

// Reply codes (RFC 3977 3.2 unless said otherwise; RFC 4643 for AUTHINFO).
inline constexpr int kPostingAllowed = 200;       // greeting, MODE READER (RFC 3977 5.1.1, 5.3)
inline constexpr int kPostingProhibited = 201;    // greeting, MODE READER (RFC 3977 5.1.1, 5.3)
inline constexpr int kCapabilityList = 101;       // CAPABILITIES (RFC 3977 5.2.2)
inline constexpr int kClosing = 205;              // QUIT (RFC 3977 5.4)
inline constexpr int kCompressionActive = 206;    // COMPRESS (RFC 8054 2.2.2)
inline constexpr int kGroupSelected = 211;        // GROUP (RFC 3977 6.1.1)
inline constexpr int kListFollows = 215;          // LIST, LIST NEWSGROUPS (RFC 3977 7.6.1)
inline constexpr int kArticleFollows = 220;       // ARTICLE (RFC 3977 6.2.1)
inline constexpr int kHeadFollows = 221;          // HEAD (RFC 3977 6.2.2)
inline constexpr int kBodyFollows = 222;          // BODY (RFC 3977 6.2.3)
inline constexpr int kArticleExists = 223;        // STAT, NEXT (RFC 3977 6.2.4, 6.1.4)
inline constexpr int kHeadersFollow = 225;        // HDR (RFC 3977 8.5.2); XHDR: 221
inline constexpr int kTransferred = 235;          // IHAVE done (RFC 3977 6.3.2)
inline constexpr int kPosted = 240;               // POST done (RFC 3977 6.3.1)
inline constexpr int kAuthAccepted = 281;         // AUTHINFO PASS (RFC 4643 2.3)
inline constexpr int kSendTransfer = 335;         // IHAVE: send it (RFC 3977 6.3.2)
inline constexpr int kSendPost = 340;             // POST: send it (RFC 3977 6.3.1)
inline constexpr int kPasswordRequired = 381;     // AUTHINFO USER (RFC 4643 2.3)
inline constexpr int kContinueWithTls = 382;      // STARTTLS (RFC 4642 2.2.2)
inline constexpr int kServiceUnavailable = 400;   // any command (RFC 3977 3.2.1)
inline constexpr int kNoSuchGroup = 411;          // GROUP (RFC 3977 6.1.1)
inline constexpr int kNoNextArticle = 421;        // NEXT (RFC 3977 6.1.4)
inline constexpr int kNoArticleNumber = 423;      // STAT, ARTICLE by number (RFC 3977 6.2.1)
inline constexpr int kNoArticleId = 430;          // STAT, ARTICLE by message-ID (RFC 3977 6.2.1)
inline constexpr int kNotWanted = 435;            // IHAVE: not wanted (RFC 3977 6.3.2)
inline constexpr int kTryLater = 436;             // IHAVE: transfer not possible, try again later
inline constexpr int kRejected = 437;             // IHAVE: transfer rejected (RFC 3977 6.3.2)
inline constexpr int kPostingNotPermitted = 440;  // POST (RFC 3977 6.3.1)
inline constexpr int kPostingFailed = 441;        // POST (RFC 3977 6.3.1)
inline constexpr int kAuthRequired = 480;         // any command (RFC 4643 2.1)
inline constexpr int kUnknownCommand = 500;       // any command (RFC 3977 3.2.1)

/// Highest article number (or count) taken from a server: RFC 3977 6 allows
/// up to 2^31-1, servers since have gone further; one below the largest
/// signed 64-bit value keeps the number after it representable.
inline constexpr int64_t kArticleNumberMax = INT64_MAX - 1;

/// The reply code at the start of a status line, blanks before it skipped:
/// 0 when the line does not start with digits or they make more than a
/// three-digit number. rest (when given) is set behind the digits.
int reply_code(const char* line, const char** rest = nullptr);

/// Reads an article number (or count) at text: blanks, then decimal digits
/// that end at a blank, tab, CR, LF or the end of the text. True with value
/// set and end (when given) behind the digits; false when there are no digits,
/// a sign comes first, the value is above kArticleNumberMax, or other
/// characters follow the digits.
bool parse_article_number(const char* text, int64_t* value, const char** end = nullptr);

/// Reads what follows the code of a GROUP reply: the article count, first and
/// last article number (a group name after them is not looked at). False
/// unless all three are article numbers and last is at least first - 1 (an
/// empty group may have last = first - 1, RFC 3977 6.1.1.2).
bool parse_group_figures(const char* text, int64_t* count, int64_t* first, int64_t* last);

}  // namespace nntp
