#include "run/options.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "groups/newsfeeds.h"
#include "newssys/paths.h"
#include "nntp/auth.h"
#include "report/message.h"
#include "report/util.h"
#include "run/driver.h"
#include "run/settings.h"
#include "run/site_config.h"

namespace run {

namespace {

using report::message;

constexpr const char* kBugAddress = "tessu-bugs@localhost";

// Option names in warnings ("--window", "-W") are built into this many bytes.
constexpr int kOptionNameMax = 50;

// A profile's argument vector starts with this many entries and grows by as many.
constexpr size_t kProfileVectorStep = 100;

// Codes of the options that have no short form.
enum LongOnly : int {
  kOptBounce = 256,
  kOptStat,
  kOptSys,
  kOptRnews,
  kOptAttach,
  kOptDesc,
  kOptAlldesc,
  kOptCtlinnd,
  kOptLocks,
  kOptMfilter,
  kOptMaxart,
  kOptNewline,
  kOptNops,
  kOptAuthgeneric,
  kOptDebug,
  kOptFail,
  kOptMaxPath,
  kOptInews,
  kOptInewsOptions,
  kOptAddHeader,
  kOptPipeTo,
  kOptRnewsTo,
  kOptFilter,
  kOptGroups,
  kOptConfig,
  kOptConfigIs,
  kOptMinfree,
  kOptNewlist,
  kOptIhave,
  kOptInhosts,
  kOptSpoolname,
  kOptHostname,
  kOptPort,
  kOptHostconfig,
};

// getopt_long hands every word that is not an option back as this code, in
// order (the leading '-' of the short option string asks for that).
constexpr int kPositional = 1;

// '-': return positional words in place instead of permuting the vector.
constexpr const char* kShortOptions =
    "-a:b:cde:f:gh:ikl:mnopq:rs:t:uvw:x:y:zA:B:H:I:L:M:N:P:RT:W:X:Z?";

const struct option kLongOptions[] = {
    {"auth", required_argument, nullptr, 'a'},
    {"size", required_argument, nullptr, 'b'},
    {"cnews", no_argument, nullptr, 'c'},
    {"verbose", no_argument, nullptr, 'd'},
    {"end", required_argument, nullptr, 'e'},
    {"posted", required_argument, nullptr, 'f'},
    {"nofetch", no_argument, nullptr, 'g'},
    {"no-fetch", no_argument, nullptr, 'g'},
    {"history", required_argument, nullptr, 'h'},
    {"inn", no_argument, nullptr, 'i'},
    {"keep-path", no_argument, nullptr, 'k'},
    {"keeppath", no_argument, nullptr, 'k'},
    {"log", required_argument, nullptr, 'l'},
    {"nomsgid", no_argument, nullptr, 'm'},
    {"no-msgid", no_argument, nullptr, 'm'},
    {"noaction", no_argument, nullptr, 'n'},
    {"dry-run", no_argument, nullptr, 'n'},
    {"keepold", no_argument, nullptr, 'o'},
    {"nopost", no_argument, nullptr, 'p'},
    {"no-post", no_argument, nullptr, 'p'},
    {"enquire", required_argument, nullptr, 'q'},
    {"reader", no_argument, nullptr, 'r'},
    {"spool", required_argument, nullptr, 's'},
    {"timeout", required_argument, nullptr, 't'},
    {"noforce", no_argument, nullptr, 'u'},
    {"no-force", no_argument, nullptr, 'u'},
    {"version", no_argument, nullptr, 'v'},
    {"chat", required_argument, nullptr, 'w'},
    {"exec", required_argument, nullptr, 'x'},
    {"connect", required_argument, nullptr, 'y'},
    {"sync", no_argument, nullptr, 'z'},
    {"active", required_argument, nullptr, 'A'},
    {"batch", required_argument, nullptr, 'B'},
    {"home", required_argument, nullptr, 'H'},
    {"incoming", required_argument, nullptr, 'I'},
    {"list", required_argument, nullptr, 'L'},
    {"missing", required_argument, nullptr, 'M'},
    {"newsfeeds", required_argument, nullptr, 'N'},
    {"bounce", required_argument, nullptr, kOptBounce},
    {"profile", required_argument, nullptr, 'P'},
    {"stat", required_argument, nullptr, kOptStat},
    {"reset", no_argument, nullptr, 'R'},
    {"sys", required_argument, nullptr, kOptSys},
    {"togo", required_argument, nullptr, 'T'},
    {"rnews", no_argument, nullptr, kOptRnews},
    {"window", required_argument, nullptr, 'W'},
    {"maxnew", required_argument, nullptr, 'X'},
    {"syncnew", no_argument, nullptr, 'Z'},
    {"help", no_argument, nullptr, '?'},
    {"attach", required_argument, nullptr, kOptAttach},
    {"desc", required_argument, nullptr, kOptDesc},
    {"alldesc", required_argument, nullptr, kOptAlldesc},
    {"ctlinnd", required_argument, nullptr, kOptCtlinnd},
    {"locks", required_argument, nullptr, kOptLocks},
    {"mfilter", required_argument, nullptr, kOptMfilter},
    {"maxart", required_argument, nullptr, kOptMaxart},
    {"newline", no_argument, nullptr, kOptNewline},
    {"nops", no_argument, nullptr, kOptNops},
    {"authgeneric", no_argument, nullptr, kOptAuthgeneric},
    {"debug", required_argument, nullptr, kOptDebug},
    {"fail", required_argument, nullptr, kOptFail},
    {"max-path", required_argument, nullptr, kOptMaxPath},
    {"inews", no_argument, nullptr, kOptInews},
    {"inews-options", required_argument, nullptr, kOptInewsOptions},
    {"add-header", required_argument, nullptr, kOptAddHeader},
    {"pipe-to", required_argument, nullptr, kOptPipeTo},
    {"rnews-to", required_argument, nullptr, kOptRnewsTo},
    {"filter", required_argument, nullptr, kOptFilter},
    {"groups", required_argument, nullptr, kOptGroups},
    {"config", no_argument, nullptr, kOptConfig},
    {"config-is", required_argument, nullptr, kOptConfigIs},
    {"minfree", required_argument, nullptr, kOptMinfree},
    {"newlist", required_argument, nullptr, kOptNewlist},
    {"ihave", no_argument, nullptr, kOptIhave},
    {"inhosts", required_argument, nullptr, kOptInhosts},
    {"spoolname", required_argument, nullptr, kOptSpoolname},
    {"hostname", required_argument, nullptr, kOptHostname},
    {"port", required_argument, nullptr, kOptPort},
    {"hostconfig", required_argument, nullptr, kOptHostconfig},
    // Plain switches: getopt_long stores the value itself.
    {"readbeforeauth", no_argument, &g_settings.readbeforeauth, 1},
    {"no-path", no_argument, &g_settings.no_path, 1},
    {"no-ps", no_argument, &g_settings.no_ps, 1},
    {"nohostlock", no_argument, &g_settings.nohostlock, 1},
    {"no-hostlock", no_argument, &g_settings.nohostlock, 1},
    {"nonext", no_argument, &g_settings.nonext, 1},
    {"no-next", no_argument, &g_settings.nonext, 1},
    {"continue", no_argument, &g_settings.continue_on_spool_error, 1},
    {"noreader", no_argument, &g_settings.reader, -1},
    {"no-reader", no_argument, &g_settings.reader, -1},
    {"noqueue", no_argument, &g_settings.noqueue, 1},
    {"no-queue", no_argument, &g_settings.noqueue, 1},
    {"forget-inactive", no_argument, &g_settings.forget_inactive, 1},
    {"keep-fake", no_argument, &g_settings.keep_fake, 1},
    {"scanlogs", no_argument, &g_settings.scanlogs, 1},
    {"tag", no_argument, &g_settings.tag, 1},
    {"verify", no_argument, &g_settings.verify, 1},
    {nullptr, 0, nullptr, 0},
};

// The option being handled, as warnings name it.
char g_option_name[kOptionNameMax];

int g_profile_depth = 0;

const char* program() {
  return g_settings.program_name.c_str();
}

void name_option(int code, int long_index) {
  if (long_index >= 0) {
    snprintf(g_option_name, sizeof g_option_name, "--%s", kLongOptions[long_index].name);
  } else {
    snprintf(g_option_name, sizeof g_option_name, "-%c", code);
  }
}

// Positional words are named after the long options that set the same values.
void name_long_option(const char* name) {
  snprintf(g_option_name, sizeof g_option_name, "--%s", name);
}

[[noreturn]] void usage_error() {
  usage();
  unlock_exit(kStatusUsage);
}

void set_string(Text& setting, const char* value) {
  if (setting && g_settings.verbosity > 0) {
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
  if (g_settings.verbosity > 0 && setting != 0 && static_cast<long long>(setting) != value) {
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

void set_attach(const char* mode) {
  if (strcmp(mode, "mime") == 0 || strcmp(mode, "m") == 0) {
    g_settings.attach = kAttachMime;
  } else if (strcmp(mode, "yes") == 0 || strcmp(mode, "y") == 0) {
    g_settings.attach = kAttachYes;
  } else if (strcmp(mode, "no") == 0 || strcmp(mode, "n") == 0) {
    g_settings.attach = kAttachNo;
  } else {
    fprintf(stderr, "%s: unknown --attach mode: %s\n", program(), mode);
  }
}

bool authinfo_already_set() {
  return g_settings.authinfo_user.has_value() || g_settings.authinfo_generic ||
         g_settings.authinfo_generic_command.has_value();
}

void set_authgeneric() {
  if (authinfo_already_set()) usage_error();
  const char* command = getenv("NNTPAUTH");
  if (command == nullptr) {
    fprintf(stderr, "--authgeneric specified, but NNTPAUTH envariable not set\n");
    unlock_exit(kStatusAuthSetup);
  }
  g_settings.authinfo_user = std::string(command);
  g_settings.authinfo_generic_command = std::string(command);
  g_settings.authinfo_generic = true;
}

void set_pipe(const char* program_path, const char* name, bool batch_mode) {
  if (g_settings.pipe_program) {
    fprintf(stderr, "%s: can't combine --inews, --rnews, --rnews-to and --pipe-to\n", program());
    usage_error();
  }
  set_string(g_settings.pipe_program, program_path);
  set_string(g_settings.pipe_name, name);
  g_settings.pipe_batch_mode = batch_mode;
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
      set_string(g_settings.spool_name, word);
      break;
    case 2:
      name_long_option("hostname");
      set_string(g_settings.server_host, word);
      break;
    default:
      name_long_option("port");
      set_string(g_settings.server_port, word);
      break;
  }
}

[[noreturn]] void show_version() {
  printf("%s version %s\n", program(), kVersion);
  printf("Copyright (C) the tessu authors.\n");
  printf("This is free software: you may copy, change and pass it on under the\n");
  printf("terms of its licence. There is NO WARRANTY, to the extent permitted\n");
  printf("by law; you run it at your own risk.\n");
  unlock_exit(kStatusOk);
}

[[noreturn]] void show_help() {
  usage();
  printf("Report bugs to %s\n", kBugAddress);
  unlock_exit(kStatusOk);
}

// Every option but --profile, which needs the scanner of the vector being parsed.
void handle_option(int code, const char* arg) {
  Settings& g = g_settings;
  switch (code) {
    case 0:  // a switch getopt_long has already stored
      break;
    case 'a':
      if (authinfo_already_set()) usage_error();
      nntp::read_authinfo_file(arg);
      break;
    case 'b':
      set_number(g.size, arg);
      break;
    case 'c':
      g.inn_mode = false;
      break;
    case 'd':
      ++g.verbosity;
      break;
    case 'e': {
      const char* tag = arg;
      while (isspace(static_cast<unsigned char>(*tag))) ++tag;
      set_string(g.end_tag, tag);
      break;
    }
    case 'f':
      set_string(g.posted, arg);
      break;
    case 'g':
      ++g.nofetch;
      break;
    case 'h':
      set_string(g.paths.history, arg);
      if (*arg != '\0') fprintf(stderr, "%s: history not supported\n", program());
      break;
    case 'i':
      g.inn_mode = true;
      break;
    case 'k':
      g.keep_path = 1;
      break;
    case 'l':
      set_string(g.log, arg);
      break;
    case 'm':
      if (g.ihave) usage_error();
      ++g.nomsgid;
      break;
    case 'n':
      ++g.dry_run;
      break;
    case 'o':
      ++g.keepold;
      break;
    case 'p':
      ++g.nopost;
      break;
    case 'q':
      set_string(g.enquire, arg);
      break;
    case 'r':
      g.reader = 1;
      break;
    case 's':
      set_string(g.article_dir, arg);
      break;
    case 't':
      set_time(g.timeout, arg, 1);
      break;
    case 'u':
      ++g.noforce;
      break;
    case 'v':
      show_version();
    case 'w':
      set_string(g.chat, arg);
      break;
    case 'x':
      set_string(g.exec, arg);
      break;
    case 'y':
      set_string(g.connect, arg);
      break;
    case 'z':
      if (g.reset || g.syncnew) usage_error();
      ++g.sync;
      break;
    case 'A':
      set_string(g.paths.active, arg);
      break;
    case 'B':
      set_string(g.paths.batch, arg);
      break;
    case 'H':
      set_string(g.paths.newshome, arg);
      break;
    case 'I':
      set_string(g.paths.incoming, arg);
      break;
    case 'L':
      set_string(g.list, arg);
      break;
    case 'M':
      if (set_number(g.missing, arg)) g.missing_given = true;
      break;
    case 'N':
    case kOptSys:
      set_string(g.paths.newsfeeds, arg);
      break;
    case kOptBounce:
      set_string(g.bounce, arg);
      break;
    case kOptStat:
      set_string(g.stat, arg);
      break;
    case 'R':
      if (g.sync || g.syncnew) usage_error();
      ++g.reset;
      break;
    case 'T':
      set_string(g.togo, arg);
      break;
    case kOptRnews:
      set_pipe(newssys::kRnewsProgram, newssys::kRnewsName, true);
      break;
    case 'W':
      set_number(g.window, arg);
      break;
    case 'X':
      set_number(g.maxnew, arg);
      break;
    case 'Z':
      if (g.reset || g.sync) usage_error();
      ++g.syncnew;
      break;
    case '?':  // also an unknown option or a missing argument
      show_help();
    case kOptAttach:
      set_attach(arg);
      break;
    case kOptDesc:
      set_string(g.desc, arg);
      break;
    case kOptAlldesc:
      set_string(g.alldesc, arg);
      break;
    case kOptCtlinnd:
      set_string(g.ctlinnd, arg);
      break;
    case kOptLocks:
      set_string(g.paths.locks, arg);
      break;
    case kOptMfilter:
      set_string(g.mfilter, arg);
      break;
    case kOptMaxart:
      set_number(g.maxart, arg);
      break;
    case kOptNewline:
      // assign(count, char): g++ 12 warns falsely (-Wrestrict) on the literal form here.
      g.paths.line_terminator.assign(1, '\n');
      break;
    case kOptAuthgeneric:
      set_authgeneric();
      break;
    case kOptDebug:
      set_number(g.verbosity, arg);
      break;
    case kOptFail:
      if (strcmp(arg, "never") == 0) {
        g.fail = 0;
      } else {
        // A limit too large to hold keeps the old one; any other result
        // of 0 would mean no limit, which only "never" asks for.
        if (set_time(g.fail, arg, 3600) && g.fail == 0) g.fail = 1;
      }
      break;
    case kOptMaxPath:
      set_number(g.max_path, arg);
      break;
    case kOptInews:
      set_pipe(newssys::kInewsProgram, newssys::kInewsName, false);
      if (!g.inews_options) g.inews_options = std::string(newssys::kDefaultInewsOptions);
      break;
    case kOptInewsOptions:
      g.inews_options.reset();
      set_string(g.inews_options, arg);
      break;
    case kOptAddHeader:
      set_string(g.add_header, arg);
      break;
    case kOptPipeTo:
      set_pipe(arg, arg, false);
      break;
    case kOptRnewsTo:
      set_pipe(arg, arg, true);
      break;
    case kOptFilter:
      set_string(g.filter, arg);
      break;
    case kOptGroups:
      groups::add_groups_option(arg);
      break;
    case kOptConfig:
      read_site_config(newssys::kInnShellVars);
      break;
    case kOptConfigIs:
      read_site_config(arg);
      break;
    case kOptMinfree:
      set_number(g.minfree, arg);
      break;
    case kOptNewlist:
      set_string(g.newlist, arg);
      break;
    case kOptIhave:
      if (g.nomsgid) usage_error();
      ++g.ihave;
      break;
    case kOptInhosts:
      set_string(g.paths.inhosts, arg);
      break;
    case kOptSpoolname:
      set_string(g.spool_name, arg);
      break;
    case kOptHostname:
      set_string(g.server_host, arg);
      break;
    case kOptPort:
      set_string(g.server_port, arg);
      break;
    case kOptHostconfig:
      set_string(g.paths.host_config, arg);
      break;
    default:  // in the table without a handler (--nops)
      usage_error();
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
    const int code = getopt_long(static_cast<int>(words.size()) - 1, words.data(), kShortOptions,
                                 kLongOptions, &long_index);
    if (code == -1) break;
    if (code == kPositional) {
      set_positional(optarg, &position);
      continue;
    }
    name_option(code, long_index);
    if (code != 'P') {
      handle_option(code, optarg);
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
    unlock_exit(kStatusUsage);
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
  set_state("reading profile");
  message(report::kProgress, "reading profile %s", path);
  int64_t size = 0;
  if (!report::check_regular_file(file, path, &size) ||
      !report::check_root_owned(file, "profile", path)) {
    fclose(file);
    exit_run(kStatusConfig);
  }
  std::vector<char> text(static_cast<size_t>(size) + 1, '\0');
  const size_t got = fread(text.data(), 1, static_cast<size_t>(size), file);
  text[got] = '\0';
  fclose(file);

  std::vector<char*> words;
  split_words(text.data(), words);

  std::vector<char*> vector;
  vector.reserve(kProfileVectorStep);
  vector.push_back(const_cast<char*>(g_settings.program_name.c_str()));
  for (char* word : words) {
    if (vector.capacity() - vector.size() < 3)
      vector.reserve(vector.capacity() + kProfileVectorStep);
    vector.push_back(word);
  }
  vector.push_back(nullptr);
  if (!words.empty()) parse_options(static_cast<int>(vector.size()) - 1, vector.data());
  --g_profile_depth;
}

}  // namespace run
