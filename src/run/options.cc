#include "run/options.h"

#include <getopt.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings.h"
#include "base/status.h"
#include "groups/newsfeeds.h"
#include "newssys/paths.h"
#include "newssys/site_config.h"
#include "nntp/auth.h"
#include "report/exit.h"
#include "report/message.h"
#include "report/title.h"
#include "report/util.h"
#include "run/driver.h"

namespace run {

using base::Settings;

namespace {

using report::message;

constexpr const char* kBugAddress = "tessu-bugs@localhost";

// Option names in warnings ("--window", "-W") are built into this many bytes.
constexpr int kOptionNameMax = 50;

// A profile's argument vector starts with this many entries and grows by as many.
constexpr size_t kProfileVectorStep = 100;

// getopt_long hands every word that is not an option back as this code, in
// order (the leading '-' of the short option string asks for that).
constexpr int kPositional = 1;

// The code getopt_long returns for an option without a short form is this
// plus the option's row in the table; an option with one returns its letter.
constexpr int kLongOnlyBase = 256;

constexpr char kNoLetter = '\0';

// --fail counts a number without a unit in hours, --timeout in seconds.
constexpr int64_t kSeconds = 1;
constexpr int64_t kHours = 3600;

// The option being handled, as warnings name it.
char g_option_name[kOptionNameMax];

int g_profile_depth = 0;

const char* program() {
  return base::g_settings.program_name.c_str();
}

// Positional words are named after the long options that set the same values.
void name_long_option(const char* name) {
  snprintf(g_option_name, sizeof g_option_name, "--%s", name);
}

[[noreturn]] void usage_error() {
  usage();
  report::unlock_exit(base::kStatusUsage);
}

void set_string(base::Text& setting, const char* value) {
  if (setting && base::g_settings.verbosity > 0) {
    fprintf(stderr, "%s: option %s was \"%s\", respecified as \"%s\"\n", program(), g_option_name,
            setting->c_str(), value);
  }
  setting = std::string(value);
}

// Returns false (after the warning) when the text is not a decimal number or
// the number does not fit the setting; the setting is then unchanged.
template <typename T>
bool set_number(T& setting, const char* text) {
  char* end = nullptr;
  errno = 0;
  const long long value = strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || value < std::numeric_limits<T>::min() ||
      value > std::numeric_limits<T>::max()) {
    fprintf(stderr, "%s: bad numeric spec for option %s: %s\n", program(), g_option_name, text);
    return false;
  }
  if (base::g_settings.verbosity > 0 && setting != 0 && static_cast<long long>(setting) != value) {
    fprintf(stderr, "%s: option %s was \"%ld\", respecified as \"%ld\"\n", program(), g_option_name,
            static_cast<long>(setting), static_cast<long>(value));
  }
  setting = static_cast<T>(value);
  return true;
}

int64_t time_unit(char letter) {
  switch (letter) {
    case 's':
      return 1;
    case 'm':
      return 60;
    case 'h':
      return 3600;
    case 'd':
      return 86400;
    case 'w':
      return 604800;
    default:
      return 0;
  }
}

// A sum of numbers, each with an optional unit letter ("1h30m"); a number
// without a unit at the very end takes the default unit. A part that is not a
// number ends the sum there; a part or sum too large for the setting leaves
// the setting as it was before and returns false.
bool set_time(int64_t& setting, const char* text, int64_t default_unit) {
  if (setting != 0) {
    fprintf(stderr, "%s: option %s was respecified as \"%s\"\n", program(), g_option_name, text);
  }
  const int64_t old_value = setting;
  int64_t sum = 0;
  const char* rest = text;
  while (*rest != '\0') {
    char* end = nullptr;
    errno = 0;
    int64_t value = strtoll(rest, &end, 10);
    if (end == rest) {
      fprintf(stderr, "%s: bad time spec for option %s: %s\n", program(), g_option_name, rest);
      break;
    }
    bool overflow = errno == ERANGE;
    const char* part = rest;
    rest = end;
    const int64_t unit = time_unit(*rest);
    if (unit != 0) {
      overflow = __builtin_mul_overflow(value, unit, &value) || overflow;
      ++rest;
    } else if (*rest == '\0') {
      overflow = __builtin_mul_overflow(value, default_unit, &value) || overflow;
    }
    if (overflow || __builtin_add_overflow(sum, value, &sum)) {
      fprintf(stderr, "%s: bad time spec for option %s: %s\n", program(), g_option_name, part);
      setting = old_value;
      return false;
    }
  }
  setting = sum;
  return true;
}

// The options with a function of their own. Each takes the option's argument
// (null for an option without one).

bool authinfo_already_set() {
  return base::g_settings.authinfo_user.has_value() || base::g_settings.authinfo_generic ||
         base::g_settings.authinfo_generic_command.has_value();
}

void read_auth_file(const char* path) {
  if (authinfo_already_set()) usage_error();
  nntp::read_authinfo_file(path);
}

void set_authgeneric(const char*) {
  if (authinfo_already_set()) usage_error();
  const char* command = getenv("NNTPAUTH");
  if (command == nullptr) {
    fprintf(stderr, "--authgeneric specified, but NNTPAUTH envariable not set\n");
    report::unlock_exit(base::kStatusAuthSetup);
  }
  base::g_settings.authinfo_user = std::string(command);
  base::g_settings.authinfo_generic_command = std::string(command);
  base::g_settings.authinfo_generic = true;
}

void use_cnews(const char*) {
  base::g_settings.inn_mode = false;
}

void use_inn(const char*) {
  base::g_settings.inn_mode = true;
}

void use_newline(const char*) {
  // assign(count, char): g++ 12 warns falsely (-Wrestrict) on the literal form here.
  base::g_settings.paths.line_terminator.assign(1, '\n');
}

void set_end_tag(const char* tag) {
  while (isspace(static_cast<unsigned char>(*tag))) ++tag;
  set_string(base::g_settings.end_tag, tag);
}

void set_history(const char* path) {
  set_string(base::g_settings.paths.history, path);
  if (*path != '\0') fprintf(stderr, "%s: history not supported\n", program());
}

void set_missing(const char* number) {
  if (set_number(base::g_settings.missing, number)) base::g_settings.missing_given = true;
}

void set_fail(const char* limit) {
  base::Settings& g = base::g_settings;
  if (strcmp(limit, "never") == 0) {
    g.fail = 0;
    return;
  }
  // A limit too large to hold keeps the old one; any other result of 0 would
  // mean no limit, which only "never" asks for.
  if (set_time(g.fail, limit, kHours) && g.fail == 0) g.fail = 1;
}

void set_attach(const char* mode) {
  if (strcmp(mode, "mime") == 0 || strcmp(mode, "m") == 0) {
    base::g_settings.attach = base::kAttachMime;
  } else if (strcmp(mode, "yes") == 0 || strcmp(mode, "y") == 0) {
    base::g_settings.attach = base::kAttachYes;
  } else if (strcmp(mode, "no") == 0 || strcmp(mode, "n") == 0) {
    base::g_settings.attach = base::kAttachNo;
  } else {
    fprintf(stderr, "%s: unknown --attach mode: %s\n", program(), mode);
  }
}

void set_pipe(const char* program_path, const char* name, bool batch_mode) {
  if (base::g_settings.pipe_program) {
    fprintf(stderr, "%s: can't combine --inews, --rnews, --rnews-to and --pipe-to\n", program());
    usage_error();
  }
  set_string(base::g_settings.pipe_program, program_path);
  set_string(base::g_settings.pipe_name, name);
  base::g_settings.pipe_batch_mode = batch_mode;
}

void pipe_to_rnews(const char*) {
  set_pipe(newssys::kRnewsProgram, newssys::kRnewsName, true);
}

void pipe_to_inews(const char*) {
  set_pipe(newssys::kInewsProgram, newssys::kInewsName, false);
  if (!base::g_settings.inews_options) {
    base::g_settings.inews_options = std::string(newssys::kDefaultInewsOptions);
  }
}

void pipe_articles_to(const char* command) {
  set_pipe(command, command, false);
}

void pipe_batches_to(const char* command) {
  set_pipe(command, command, true);
}

void set_inews_options(const char* options) {
  // Whatever --inews put there, a value given on purpose wins silently.
  base::g_settings.inews_options.reset();
  set_string(base::g_settings.inews_options, options);
}

void read_default_site_config(const char*) {
  newssys::read_site_config(newssys::kInnShellVars);
}

[[noreturn]] void show_version(const char*) {
  printf("%s version %s\n", program(), base::kVersion);
  printf("Copyright (C) the tessu authors.\n");
  printf("This is free software: you may copy, change and pass it on under the\n");
  printf("terms of its licence. There is NO WARRANTY, to the extent permitted\n");
  printf("by law; you run it at your own risk.\n");
  report::unlock_exit(base::kStatusOk);
}

// Also what an unknown option or a missing argument comes to.
[[noreturn]] void show_help(const char*) {
  usage();
  printf("Report bugs to %s\n", kBugAddress);
  report::unlock_exit(base::kStatusOk);
}

// Rows of the option table, one maker per kind.

// A long name and, for some options, a second one.
struct Names {
  constexpr Names(const char* long_name, const char* second_name = nullptr)
      : name(long_name), alias(second_name) {}
  const char* name;
  const char* alias;
};

constexpr OptionEntry row(Names names, char letter, bool takes_argument, OptionKind kind) {
  OptionEntry entry;
  entry.name = names.name;
  entry.alias = names.alias;
  entry.letter = letter;
  entry.takes_argument = takes_argument;
  entry.kind = kind;
  return entry;
}

constexpr OptionEntry switch_option(Names names, char letter, int Settings::*flag, int value = 1) {
  OptionEntry entry = row(names, letter, false, OptionKind::kSwitch);
  entry.flag = flag;
  entry.value = value;
  return entry;
}

// A counter given after one of the excluded counters is a usage error.
constexpr OptionEntry counter_option(Names names, char letter, int Settings::*counter,
                                     int Settings::*excluded = nullptr,
                                     int Settings::*also_excluded = nullptr) {
  OptionEntry entry = row(names, letter, false, OptionKind::kCounter);
  entry.flag = counter;
  entry.excluded[0] = excluded;
  entry.excluded[1] = also_excluded;
  return entry;
}

constexpr OptionEntry number32_option(Names names, char letter, int32_t Settings::*number) {
  OptionEntry entry = row(names, letter, true, OptionKind::kNumber32);
  entry.number32 = number;
  return entry;
}

constexpr OptionEntry number64_option(Names names, char letter, int64_t Settings::*number) {
  OptionEntry entry = row(names, letter, true, OptionKind::kNumber64);
  entry.number64 = number;
  return entry;
}

constexpr OptionEntry time_option(Names names, char letter, int64_t Settings::*seconds,
                                  int64_t default_unit) {
  OptionEntry entry = row(names, letter, true, OptionKind::kTime);
  entry.number64 = seconds;
  entry.unit = default_unit;
  return entry;
}

constexpr OptionEntry text_option(Names names, char letter, base::Text Settings::*text) {
  OptionEntry entry = row(names, letter, true, OptionKind::kText);
  entry.text = text;
  return entry;
}

constexpr OptionEntry path_option(Names names, char letter, base::Text base::SitePaths::*path) {
  OptionEntry entry = row(names, letter, true, OptionKind::kPath);
  entry.path = path;
  return entry;
}

constexpr OptionEntry special_option(Names names, char letter, bool takes_argument,
                                     void (*special)(const char*)) {
  OptionEntry entry = row(names, letter, takes_argument, OptionKind::kSpecial);
  entry.special = special;
  return entry;
}

constexpr bool kArgument = true;
constexpr bool kNoArgument = false;

using S = base::Settings;
using P = base::SitePaths;

// Every option. The order is the order in which getopt_long lists the
// candidates of an ambiguous prefix.
constexpr OptionEntry kOptionTable[] = {
    special_option("auth", 'a', kArgument, read_auth_file),
    number64_option("size", 'b', &S::size),
    special_option("cnews", 'c', kNoArgument, use_cnews),
    counter_option("verbose", 'd', &S::verbosity),
    special_option("end", 'e', kArgument, set_end_tag),
    text_option("posted", 'f', &S::posted),
    counter_option({"nofetch", "no-fetch"}, 'g', &S::nofetch),
    special_option("history", 'h', kArgument, set_history),
    special_option("inn", 'i', kNoArgument, use_inn),
    switch_option({"keep-path", "keeppath"}, 'k', &S::keep_path),
    text_option("log", 'l', &S::log),
    counter_option({"nomsgid", "no-msgid"}, 'm', &S::nomsgid, &S::ihave),
    counter_option({"noaction", "dry-run"}, 'n', &S::dry_run),
    counter_option("keepold", 'o', &S::keepold),
    counter_option({"nopost", "no-post"}, 'p', &S::nopost),
    text_option("enquire", 'q', &S::enquire),
    switch_option("reader", 'r', &S::reader),
    text_option("spool", 's', &S::article_dir),
    time_option("timeout", 't', &S::timeout, kSeconds),
    counter_option({"noforce", "no-force"}, 'u', &S::noforce),
    special_option("version", 'v', kNoArgument, show_version),
    text_option("chat", 'w', &S::chat),
    text_option("exec", 'x', &S::exec),
    text_option("connect", 'y', &S::connect),
    counter_option("sync", 'z', &S::sync, &S::reset, &S::syncnew),
    path_option("active", 'A', &P::active),
    path_option("batch", 'B', &P::batch),
    path_option("home", 'H', &P::newshome),
    path_option("incoming", 'I', &P::incoming),
    text_option("list", 'L', &S::list),
    special_option("missing", 'M', kArgument, set_missing),
    path_option("newsfeeds", 'N', &P::newsfeeds),
    text_option("bounce", kNoLetter, &S::bounce),
    row("profile", 'P', kArgument, OptionKind::kProfile),
    text_option("stat", kNoLetter, &S::stat),
    counter_option("reset", 'R', &S::reset, &S::sync, &S::syncnew),
    path_option("sys", kNoLetter, &P::newsfeeds),
    text_option("togo", 'T', &S::togo),
    special_option("rnews", kNoLetter, kNoArgument, pipe_to_rnews),
    number32_option("window", 'W', &S::window),
    number32_option("maxnew", 'X', &S::maxnew),
    counter_option("syncnew", 'Z', &S::syncnew, &S::reset, &S::sync),
    special_option("help", '?', kNoArgument, show_help),
    special_option("attach", kNoLetter, kArgument, set_attach),
    text_option("desc", kNoLetter, &S::desc),
    text_option("alldesc", kNoLetter, &S::alldesc),
    text_option("ctlinnd", kNoLetter, &S::ctlinnd),
    path_option("locks", kNoLetter, &P::locks),
    text_option("mfilter", kNoLetter, &S::mfilter),
    number32_option("maxart", kNoLetter, &S::maxart),
    special_option("newline", kNoLetter, kNoArgument, use_newline),
    // In the table without a handler: a usage error.
    special_option("nops", kNoLetter, kNoArgument, nullptr),
    special_option("authgeneric", kNoLetter, kNoArgument, set_authgeneric),
    number32_option("debug", kNoLetter, &S::verbosity),
    special_option("fail", kNoLetter, kArgument, set_fail),
    number32_option("max-path", kNoLetter, &S::max_path),
    special_option("inews", kNoLetter, kNoArgument, pipe_to_inews),
    special_option("inews-options", kNoLetter, kArgument, set_inews_options),
    text_option("add-header", kNoLetter, &S::add_header),
    special_option("pipe-to", kNoLetter, kArgument, pipe_articles_to),
    special_option("rnews-to", kNoLetter, kArgument, pipe_batches_to),
    text_option("filter", kNoLetter, &S::filter),
    special_option("groups", kNoLetter, kArgument, groups::add_groups_option),
    special_option("config", kNoLetter, kNoArgument, read_default_site_config),
    special_option("config-is", kNoLetter, kArgument, newssys::read_site_config),
    number64_option("minfree", kNoLetter, &S::minfree),
    text_option("newlist", kNoLetter, &S::newlist),
    counter_option("ihave", kNoLetter, &S::ihave, &S::nomsgid),
    path_option("inhosts", kNoLetter, &P::inhosts),
    text_option("spoolname", kNoLetter, &S::spool_name),
    text_option("hostname", kNoLetter, &S::server_host),
    text_option("port", kNoLetter, &S::server_port),
    path_option("hostconfig", kNoLetter, &P::host_config),
    switch_option("readbeforeauth", kNoLetter, &S::readbeforeauth),
    switch_option("no-path", kNoLetter, &S::no_path),
    switch_option("no-ps", kNoLetter, &S::no_ps),
    switch_option({"nohostlock", "no-hostlock"}, kNoLetter, &S::nohostlock),
    switch_option({"nonext", "no-next"}, kNoLetter, &S::nonext),
    switch_option("overview", kNoLetter, &S::overview),
    switch_option("continue", kNoLetter, &S::continue_on_spool_error),
    switch_option({"noreader", "no-reader"}, kNoLetter, &S::reader, -1),
    switch_option({"noqueue", "no-queue"}, kNoLetter, &S::noqueue),
    switch_option("forget-inactive", kNoLetter, &S::forget_inactive),
    switch_option("keep-fake", kNoLetter, &S::keep_fake),
    switch_option("scanlogs", kNoLetter, &S::scanlogs),
    switch_option("tag", kNoLetter, &S::tag),
    switch_option("verify", kNoLetter, &S::verify),
    switch_option("tls", kNoLetter, &S::tls),
    switch_option("starttls", kNoLetter, &S::starttls),
    switch_option("starttls-if-offered", kNoLetter, &S::starttls_if_offered),
    switch_option("tls-insecure", kNoLetter, &S::tls_insecure),
    text_option("tls-ca", kNoLetter, &S::tls_ca),
    text_option("tls-cert", kNoLetter, &S::tls_cert),
    text_option("tls-key", kNoLetter, &S::tls_key),
    switch_option("compress", kNoLetter, &S::compress),
    switch_option("no-storage-api", kNoLetter, &S::no_storage_api),
};

constexpr int kOptionCount = static_cast<int>(std::size(kOptionTable));

// What the table must hold for the parser to be right; checked as it is built.

constexpr bool names_are_unique() {
  std::array<std::string_view, 2 * std::size(kOptionTable)> names{};
  size_t count = 0;
  for (const OptionEntry& entry : kOptionTable) {
    names[count++] = entry.name;
    if (entry.alias != nullptr) names[count++] = entry.alias;
  }
  for (size_t i = 0; i < count; ++i) {
    for (size_t j = i + 1; j < count; ++j) {
      if (names[i] == names[j]) return false;
    }
  }
  return true;
}

constexpr bool letters_are_unique() {
  for (int i = 0; i < kOptionCount; ++i) {
    for (int j = i + 1; j < kOptionCount; ++j) {
      if (kOptionTable[i].letter != kNoLetter && kOptionTable[i].letter == kOptionTable[j].letter) {
        return false;
      }
    }
  }
  return true;
}

// Letters getopt reads as syntax, or that a positional word or a long-only
// code could be mistaken for, cannot be short forms.
constexpr bool letters_are_usable() {
  for (const OptionEntry& entry : kOptionTable) {
    const char c = entry.letter;
    if (c == ':' || c == '-' || c == '+' || (c != kNoLetter && (c < ' ' || c > '~'))) return false;
  }
  return true;
}

// Each row names the target of its kind, and takes an argument exactly when
// its kind reads one.
constexpr bool rows_fit_their_kinds() {
  for (const OptionEntry& entry : kOptionTable) {
    bool target = false;
    bool argument = true;
    switch (entry.kind) {
      case OptionKind::kSwitch:
      case OptionKind::kCounter:
        target = entry.flag != nullptr;
        argument = false;
        break;
      case OptionKind::kNumber32:
        target = entry.number32 != nullptr;
        break;
      case OptionKind::kNumber64:
        target = entry.number64 != nullptr;
        break;
      case OptionKind::kTime:
        target = entry.number64 != nullptr && entry.unit > 0;
        break;
      case OptionKind::kText:
        target = entry.text != nullptr;
        break;
      case OptionKind::kPath:
        target = entry.path != nullptr;
        break;
      case OptionKind::kSpecial:
        target = true;  // without a function the option is a usage error
        argument = entry.takes_argument;
        break;
      case OptionKind::kProfile:
        target = true;
        break;
    }
    if (!target || entry.takes_argument != argument || entry.name == nullptr) return false;
  }
  return true;
}

static_assert(names_are_unique(), "two options share a long name");
static_assert(letters_are_unique(), "two options share a short letter");
static_assert(letters_are_usable(), "a short letter getopt cannot take");
static_assert(rows_fit_their_kinds(), "an option row does not fit its kind");

constexpr int code_of(int row) {
  const char letter = kOptionTable[row].letter;
  return letter != kNoLetter ? static_cast<unsigned char>(letter) : kLongOnlyBase + row;
}

constexpr size_t long_option_count() {
  size_t count = 0;
  for (const OptionEntry& entry : kOptionTable) count += entry.alias != nullptr ? 2 : 1;
  return count;
}

// getopt_long's table, one entry per long name, closed by an empty entry. Two
// names of one option return the same code, so that a prefix of both (as
// --nohost is of --nohostlock) is not ambiguous.
constexpr auto kLongOptions = [] {
  std::array<struct option, long_option_count() + 1> options{};
  size_t next = 0;
  for (int row = 0; row < kOptionCount; ++row) {
    const OptionEntry& entry = kOptionTable[row];
    const int has_arg = entry.takes_argument ? required_argument : no_argument;
    options[next++] = {entry.name, has_arg, nullptr, code_of(row)};
    if (entry.alias != nullptr) options[next++] = {entry.alias, has_arg, nullptr, code_of(row)};
  }
  options[next] = {nullptr, 0, nullptr, 0};
  return options;
}();

constexpr size_t short_options_length() {
  size_t length = 1;
  for (const OptionEntry& entry : kOptionTable) {
    if (entry.letter != kNoLetter) length += entry.takes_argument ? 2 : 1;
  }
  return length;
}

// The letters, each followed by ':' when it takes an argument; the leading
// '-' returns positional words in place instead of permuting the vector.
constexpr auto kShortOptions = [] {
  std::array<char, short_options_length() + 1> text{};
  size_t next = 0;
  text[next++] = '-';
  for (const OptionEntry& entry : kOptionTable) {
    if (entry.letter == kNoLetter) continue;
    text[next++] = entry.letter;
    if (entry.takes_argument) text[next++] = ':';
  }
  text[next] = '\0';
  return text;
}();

// The row of the option getopt_long returned as code, or null.
const OptionEntry* option_for_code(int code) {
  if (code >= kLongOnlyBase && code < kLongOnlyBase + kOptionCount) {
    return &kOptionTable[code - kLongOnlyBase];
  }
  for (const OptionEntry& entry : kOptionTable) {
    if (entry.letter != kNoLetter && code == static_cast<unsigned char>(entry.letter)) {
      return &entry;
    }
  }
  return nullptr;
}

void name_option(int code, int long_index) {
  if (long_index >= 0) {
    snprintf(g_option_name, sizeof g_option_name, "--%s", kLongOptions[long_index].name);
  } else {
    snprintf(g_option_name, sizeof g_option_name, "-%c", code);
  }
}

// Every kind but kProfile, which needs the scanner of the vector being parsed.
void apply_option(const OptionEntry& option, const char* argument) {
  base::Settings& g = base::g_settings;
  switch (option.kind) {
    case OptionKind::kSwitch:
      g.*option.flag = option.value;
      break;
    case OptionKind::kCounter:
      for (int base::Settings::*other : option.excluded) {
        if (other != nullptr && g.*other != 0) usage_error();
      }
      ++(g.*option.flag);
      break;
    case OptionKind::kNumber32:
      set_number(g.*option.number32, argument);
      break;
    case OptionKind::kNumber64:
      set_number(g.*option.number64, argument);
      break;
    case OptionKind::kTime:
      set_time(g.*option.number64, argument, option.unit);
      break;
    case OptionKind::kText:
      set_string(g.*option.text, argument);
      break;
    case OptionKind::kPath:
      set_string(g.paths.*option.path, argument);
      break;
    case OptionKind::kSpecial:
      if (option.special == nullptr) usage_error();
      option.special(argument);
      break;
    case OptionKind::kProfile:
      break;
  }
}

void set_positional(const char* word, int* position) {
  ++*position;
  if (*position > 3) {
    fputs("excess arguments\n", stderr);
    usage_error();
  }
  if (*word == '\0') return;
  switch (*position) {
    case 1:
      name_long_option("spoolname");
      set_string(base::g_settings.spool_name, word);
      break;
    case 2:
      name_long_option("hostname");
      set_string(base::g_settings.server_host, word);
      break;
    default:
      name_long_option("port");
      set_string(base::g_settings.server_port, word);
      break;
  }
}

bool is_word_end(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

}  // namespace

// Splits text into words in place: blanks, tabs and newlines separate words,
// '#' outside a word starts a comment to the end of the line, a backslash
// takes the next character literally and joins lines; there are no quotes.
void split_words(char* text, std::vector<char*>& words) {
  char* in = text;
  char* out = text;
  bool in_word = false;
  bool in_comment = false;
  while (*in != '\0') {
    const char c = *in;
    if (c == '\\') {
      const char next = in[1];
      if (next == '\0') break;
      in += 2;
      if (next == '\n' || in_comment) continue;
      if (!in_word) {
        words.push_back(out);
        in_word = true;
      }
      *out++ = next;
      continue;
    }
    ++in;
    if (in_comment) {
      if (c == '\n') in_comment = false;
    } else if (is_word_end(c)) {
      if (in_word) *out++ = '\0';
      in_word = false;
    } else if (c == '#' && !in_word) {
      in_comment = true;
    } else {
      if (!in_word) {
        words.push_back(out);
        in_word = true;
      }
      *out++ = c;
    }
  }
  if (in_word) *out = '\0';
}

std::span<const OptionEntry> option_table() {
  return kOptionTable;
}

void usage() {
  static const char* const kLines[] = {
      "Usage:",
      "\ttessu [options] spoolname [[hostname] port]",
      "Some commonly used options:",
      "\t--dry-run      Don't touch anything",
      "\t--log file     Keep log of posted articles in file",
      "\t--maxnew N     Fetch at most N articles from a group",
      "\t--no-post      Don't post",
      "\t--no-fetch     Don't fetch",
      "\t--posted file  Copy of all articles posted to file",
      "\t--verbose      Give more information",
      "\t--version",
      "\t--window N     Use a pipeline of size N to speed things up",
      "For further information, try:",
      "\tman 8 tessu",
  };
  for (const char* line : kLines) printf("%s\n", line);
}

void parse_options(int argc, char** argv) {
  if (argc < 1 || argv == nullptr) return;
  // The scanner works on this copy; after a --profile it is cut down to the
  // program name and the words not yet scanned, and the scanner restarts on it.
  std::vector<char*> words(argv, argv + argc);
  words.push_back(nullptr);
  int position = 0;
  optind = 0;
  for (;;) {
    int long_index = -1;
    const int code = getopt_long(static_cast<int>(words.size()) - 1, words.data(),
                                 kShortOptions.data(), kLongOptions.data(), &long_index);
    if (code == -1) break;
    if (code == kPositional) {
      set_positional(optarg, &position);
      continue;
    }
    const OptionEntry* option = option_for_code(code);
    if (option == nullptr) usage_error();  // getopt_long returns nothing else
    name_option(code, long_index);
    if (option->kind != OptionKind::kProfile) {
      apply_option(*option, optarg);
      continue;
    }
    // The nested parse reuses getopt's global scanner, whose hidden state then
    // points into the profile's freed words; so rather than restore optind,
    // restart the scanner on the words not yet read. An option taking an
    // argument always ends its word, so nothing of a short cluster is lost.
    const int resume = optind;
    read_profile(optarg, true);
    words.erase(words.begin() + 1, words.begin() + resume);
    optind = 0;
  }
  // Words after "--".
  for (int i = optind; i < static_cast<int>(words.size()) - 1; ++i) {
    set_positional(words[i], &position);
  }
}

void read_profile(const char* path, bool is_explicit) {
  if (++g_profile_depth > kProfileNestingMax) {
    fprintf(stderr, "too deep --profile nesting for \"%s\"\n", path);
    report::unlock_exit(base::kStatusUsage);
  }
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    if (is_explicit) {
      message(report::kSysError, "can't open profile \"%s\"", path);
    } else {
      message(report::kProgress, "there is no %s, just ignore", path);
    }
    --g_profile_depth;
    return;
  }
  report::set_state("reading profile");
  message(report::kProgress, "reading profile %s", path);
  int64_t size = 0;
  if (!report::check_regular_file(file, path, &size) ||
      !report::check_root_owned(file, "profile", path)) {
    fclose(file);
    report::exit_run(base::kStatusConfig);
  }
  std::vector<char> text(static_cast<size_t>(size) + 1, '\0');
  const size_t got = fread(text.data(), 1, static_cast<size_t>(size), file);
  text[got] = '\0';
  fclose(file);

  std::vector<char*> words;
  split_words(text.data(), words);

  std::vector<char*> vector;
  vector.reserve(kProfileVectorStep);
  vector.push_back(const_cast<char*>(base::g_settings.program_name.c_str()));
  for (char* word : words) {
    if (vector.capacity() - vector.size() < 3)
      vector.reserve(vector.capacity() + kProfileVectorStep);
    vector.push_back(word);
  }
  vector.push_back(nullptr);
  if (!words.empty()) parse_options(static_cast<int>(vector.size()) - 1, vector.data());
  --g_profile_depth;
}

void set_start_values() {
  base::Settings& s = base::g_settings;
  s.nofetch = 0;
  s.inn_mode = true;
  s.size = 100000;
  s.authinfo_generic = false;
  s.readbeforeauth = 0;
  s.window = 10;
  s.max_path = 1;
  s.file_mask = 002;

  base::SitePaths& p = s.paths;
  p.line_terminator = "\r\n";
  p.locks = newssys::kDefaultLocks;
  p.newsfeeds = newssys::kDefaultNewsfeeds;
  p.inhosts = newssys::kDefaultInhosts;
  p.incoming = newssys::kDefaultIncoming;
  p.batch = newssys::kDefaultBatch;
  p.active = newssys::kDefaultActive;
  p.history = newssys::kDefaultHistory;
  p.spool = newssys::kDefaultSpool;
  p.newsbin = newssys::kDefaultNewsBin;
  p.pathetc = newssys::kDefaultPathEtc;
  p.newshome = newssys::kDefaultNewsHome;
}

}  // namespace run
