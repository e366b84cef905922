// The option parser: the table with its aliases and short forms, the setters
// and their warnings, the options that exclude each other, and the texts.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/settings.h"
#include "run/options.h"
#include "support/capture.h"
#include "support/option_parsing.h"
#include "support/tessu_runner.h"

namespace {

using testing::ExitedWithCode;
using testsupport::concat;
using testsupport::contains;
using testsupport::parse;
using testsupport::reset_settings;
using testsupport::run_tessu;
using testsupport::RunOptions;
using testsupport::TempSite;

const base::Settings& g = base::g_settings;

using ParseOptions = testsupport::OptionParserTest;

using ParseOptionsDeathTest = ParseOptions;

const char kUsage[] =
    "Usage:\n"
    "\ttessu [options] spoolname [[hostname] port]\n"
    "Some commonly used options:\n"
    "\t--dry-run      Don't touch anything\n"
    "\t--log file     Keep log of posted articles in file\n"
    "\t--maxnew N     Fetch at most N articles from a group\n"
    "\t--no-post      Don't post\n"
    "\t--no-fetch     Don't fetch\n"
    "\t--posted file  Copy of all articles posted to file\n"
    "\t--verbose      Give more information\n"
    "\t--version\n"
    "\t--window N     Use a pipeline of size N to speed things up\n"
    "For further information, try:\n"
    "\tman 8 tessu\n";

TEST_F(ParseOptions, ArgumentFormsOfLongAndShortOptions) {
  parse({"--window", "3"});
  EXPECT_EQ(g.window, 3);
  parse({"--window=4"});
  EXPECT_EQ(g.window, 4);
  parse({"--wind=5"});  // an unambiguous prefix
  EXPECT_EQ(g.window, 5);
  parse({"-W", "6"});
  EXPECT_EQ(g.window, 6);
  parse({"-W7"});
  EXPECT_EQ(g.window, 7);
  parse({"-gpW8"});  // a cluster ending in an option with its argument attached
  EXPECT_EQ(g.window, 8);
  EXPECT_EQ(g.nofetch, 1);
  EXPECT_EQ(g.nopost, 1);
  parse({"-L", "groups.txt"});
  EXPECT_EQ(*g.list, "groups.txt");
}

TEST_F(ParseOptions, AliasesAndShortFormsShareTheirSetting) {
  parse({"--nofetch", "--no-fetch", "-g", "--dry-run", "--noaction", "-n", "--keeppath",
         "--nomsgid", "--no-msgid", "-o", "--no-post", "-u", "--no-force"});
  EXPECT_EQ(g.nofetch, 3);
  EXPECT_EQ(g.dry_run, 3);
  EXPECT_EQ(g.keep_path, 1);
  EXPECT_EQ(g.nomsgid, 2);
  EXPECT_EQ(g.keepold, 1);
  EXPECT_EQ(g.nopost, 1);
  EXPECT_EQ(g.noforce, 2);
  parse({"--sys", "/etc/sys"});
  EXPECT_EQ(*g.paths.newsfeeds, "/etc/sys");
  parse({"-N", "/etc/newsfeeds"});
  EXPECT_EQ(*g.paths.newsfeeds, "/etc/newsfeeds");
}

TEST_F(ParseOptions, CountersAddUpAcrossVectors) {
  parse({"-d", "--nopost"});
  parse({"--verbose", "-p", "-d"});
  EXPECT_EQ(g.verbosity, 3);
  EXPECT_EQ(g.nopost, 2);
  parse({"--debug", "1"});
  EXPECT_EQ(g.verbosity, 1);
}

TEST_F(ParseOptions, SwitchesFromTheTable) {
  parse({"--readbeforeauth", "--no-path", "--no-ps", "--no-hostlock", "--no-next", "--continue",
         "--no-queue", "--forget-inactive", "--keep-fake", "--scanlogs", "--tag", "--verify"});
  EXPECT_EQ(g.readbeforeauth, 1);
  EXPECT_EQ(g.no_path, 1);
  EXPECT_EQ(g.no_ps, 1);
  EXPECT_EQ(g.nohostlock, 1);
  EXPECT_EQ(g.nonext, 1);
  EXPECT_EQ(g.continue_on_spool_error, 1);
  EXPECT_EQ(g.noqueue, 1);
  EXPECT_EQ(g.forget_inactive, 1);
  EXPECT_EQ(g.keep_fake, 1);
  EXPECT_EQ(g.scanlogs, 1);
  EXPECT_EQ(g.tag, 1);
  EXPECT_EQ(g.verify, 1);

  parse({"--noreader"});
  EXPECT_EQ(g.reader, -1);
  parse({"-r"});
  EXPECT_EQ(g.reader, 1);
  parse({"--no-reader"});
  EXPECT_EQ(g.reader, -1);

  parse({"-c"});
  EXPECT_FALSE(g.inn_mode);
  parse({"--inn"});
  EXPECT_TRUE(g.inn_mode);
  parse({"--newline"});
  EXPECT_EQ(g.paths.line_terminator, "\n");
}

TEST_F(ParseOptions, PositionalArgumentsInOrderAmongOptions) {
  parse({"feed", "--window", "4", "news.example", "-g", "563"});
  EXPECT_EQ(*g.spool_name, "feed");
  EXPECT_EQ(*g.server_host, "news.example");
  EXPECT_EQ(*g.server_port, "563");
  EXPECT_EQ(g.window, 4);
  EXPECT_EQ(g.nofetch, 1);
}

TEST_F(ParseOptions, EmptyPositionalKeepsItsPlace) {
  parse({"", "news.example"});
  EXPECT_FALSE(g.spool_name.has_value());
  EXPECT_EQ(*g.server_host, "news.example");
}

TEST_F(ParseOptions, WordsAfterDoubleDashArePositional) {
  parse({"-p", "--", "-feed", "--window"});
  EXPECT_EQ(g.nopost, 1);
  EXPECT_EQ(*g.spool_name, "-feed");
  EXPECT_EQ(*g.server_host, "--window");
  EXPECT_EQ(g.window, 10);
}

TEST_F(ParseOptions, NumbersAreDecimalWithOptionalSignAndLeadingBlanks) {
  parse({"--window", "0x10"});
  EXPECT_EQ(g.window, 10);
  parse({"--window", " 12"});
  EXPECT_EQ(g.window, 12);
  parse({"--window", "12 "});
  EXPECT_EQ(g.window, 12);
  parse({"--window", ""});
  EXPECT_EQ(g.window, 12);
  parse({"--maxnew", "+7", "--maxart", "-3", "--max-path", "5"});
  EXPECT_EQ(g.maxnew, 7);
  EXPECT_EQ(g.maxart, -3);
  EXPECT_EQ(g.max_path, 5);
  parse({"--size", "5000000000", "--minfree", "6000000000"});
  EXPECT_EQ(g.size, 5000000000LL);
  EXPECT_EQ(g.minfree, 6000000000LL);
}

// Each setting holds what its type can; anything beyond is a bad value that
// leaves the setting as it was instead of wrapping around.
TEST_F(ParseOptions, NumbersBeyondTheSettingAreRefused) {
  struct Case {
    const char* option;
    const char* value;
  };
  const Case cases[] = {
      {"--window", "4294967297"},         {"--window", "2147483648"},
      {"--window", "-2147483649"},        {"--maxnew", "4294967296"},
      {"--maxart", "99999999999"},        {"--max-path", "-99999999999"},
      {"--missing", "2147483648"},        {"--debug", "4294967301"},
      {"--size", "9223372036854775808"},  {"--minfree", "-9223372036854775809"},
      {"--size", "99999999999999999999"},
  };
  parse({"--window", "5", "--maxnew", "6", "--maxart", "7", "--max-path", "8", "--missing", "3",
         "--size", "100", "--minfree", "200"});
  for (const Case& c : cases) {
    testsupport::CaptureFd err;
    parse({c.option, c.value});
    EXPECT_EQ(err.take(),
              std::string("tessu: bad numeric spec for option ") + c.option + ": " + c.value + "\n")
        << c.option << " " << c.value;
  }
  EXPECT_EQ(g.window, 5);
  EXPECT_EQ(g.maxnew, 6);
  EXPECT_EQ(g.maxart, 7);
  EXPECT_EQ(g.max_path, 8);
  EXPECT_EQ(g.missing, 3);
  EXPECT_EQ(g.verbosity, 0);
  EXPECT_EQ(g.size, 100);
  EXPECT_EQ(g.minfree, 200);

  // The ends of each range still fit.
  parse({"--window", "2147483647", "--maxart", "-2147483648", "--size", "9223372036854775807",
         "--minfree", "-9223372036854775808"});
  EXPECT_EQ(g.window, 2147483647);
  EXPECT_EQ(g.maxart, -2147483647 - 1);
  EXPECT_EQ(g.size, INT64_MAX);
  EXPECT_EQ(g.minfree, INT64_MIN);
}

TEST_F(ParseOptions, TimesBeyondTheSettingAreRefused) {
  struct Case {
    const char* option;
    const char* value;
    const char* named;  // the part the warning names
  };
  const Case cases[] = {
      // The product with the unit overflows.
      {"--fail", "99999999999999999h", "99999999999999999h"},
      {"--fail", "2562047788015216", "2562047788015216"},  // hours by default
      {"--timeout", "15250284452472w", "15250284452472w"},
      {"--timeout", "-15250284452472w", "-15250284452472w"},
      // The number alone does not fit.
      {"--timeout", "99999999999999999999s", "99999999999999999999s"},
      // The sum overflows at its second part.
      {"--timeout", "9223372036854775807s1s", "1s"},
      {"--fail", "1h2562047788015215h", "2562047788015215h"},
  };
  parse({"--timeout", "30", "--fail", "2"});
  for (const Case& c : cases) {
    testsupport::CaptureFd err;
    parse({c.option, c.value});
    EXPECT_EQ(err.take(), std::string("tessu: option ") + c.option + " was respecified as \"" +
                              c.value + "\"\n" + "tessu: bad time spec for option " + c.option +
                              ": " + c.named + "\n")
        << c.option << " " << c.value;
  }
  EXPECT_EQ(g.timeout, 30);
  EXPECT_EQ(g.fail, 2 * 3600);

  // An overflowing --fail never turns into the shortest limit.
  parse({"--fail", "never"});
  parse({"--fail", "99999999999999999h"});
  EXPECT_EQ(g.fail, 0);

  // The largest time that fits.
  parse({"--timeout", "9223372036854775807s"});
  EXPECT_EQ(g.timeout, INT64_MAX);
  parse({"--fail", "2562047788015215h"});
  EXPECT_EQ(g.fail, 2562047788015215LL * 3600);
}

TEST_F(ParseOptions, MissingCountsAsGivenOnlyWithAGoodValue) {
  parse({"--missing", "x"});
  EXPECT_FALSE(g.missing_given);
  parse({"--missing", "4294967296"});
  EXPECT_FALSE(g.missing_given);
  parse({"-M", "0"});
  EXPECT_TRUE(g.missing_given);
  EXPECT_EQ(g.missing, 0);
}

TEST_F(ParseOptions, TimesWithUnitsAndDefaultUnits) {
  parse({"-t", "2m30s"});
  EXPECT_EQ(g.timeout, 150);
  parse({"--timeout", "1h30m"});
  EXPECT_EQ(g.timeout, 5400);
  parse({"--timeout", "90"});
  EXPECT_EQ(g.timeout, 90);
  parse({"--timeout", "1d1w"});
  EXPECT_EQ(g.timeout, 86400 + 604800);
  parse({"--fail", "90"});
  EXPECT_EQ(g.fail, 90 * 3600);
  parse({"--fail", "1h30"});
  EXPECT_EQ(g.fail, 31 * 3600);
  parse({"--fail", "never"});
  EXPECT_EQ(g.fail, 0);
  parse({"--fail", "0"});
  EXPECT_EQ(g.fail, 1);
}

TEST_F(ParseOptions, BadTimeKeepsTheSumBeforeTheBadPart) {
  parse({"-t", "1m5x"});  // 5 is followed by more text, so it takes no unit
  EXPECT_EQ(g.timeout, 65);
  parse({"-t", "2H"});  // units are lower case only
  EXPECT_EQ(g.timeout, 2);
  parse({"-t", "x"});
  EXPECT_EQ(g.timeout, 0);
}

TEST_F(ParseOptions, StringSettings) {
  parse({"--end",        " \t last", "-f",         "folder", "-l",           "log",
         "-q",           "<a@b>",    "-s",         "/arts",  "-w",           "chat",
         "-x",           "script",   "-y",         "prog",   "-A",           "act",
         "-B",           "bat",      "-H",         "",       "-I",           "in",
         "-T",           "togo",     "--bounce",   "none",   "--stat",       "st",
         "--desc",       "d",        "--alldesc",  "ad",     "--ctlinnd",    "ctl",
         "--locks",      "lk",       "--mfilter",  "mf",     "--add-header", "Path: x",
         "--filter",     "flt",      "--newlist",  "nl",     "--inhosts",    "ih",
         "--spoolname",  "sp",       "--hostname", "hn",     "--port",       "po",
         "--hostconfig", "hc"});
  EXPECT_EQ(*g.end_tag, "last");
  EXPECT_EQ(*g.posted, "folder");
  EXPECT_EQ(*g.log, "log");
  EXPECT_EQ(*g.enquire, "<a@b>");
  EXPECT_EQ(*g.article_dir, "/arts");
  EXPECT_EQ(*g.chat, "chat");
  EXPECT_EQ(*g.exec, "script");
  EXPECT_EQ(*g.connect, "prog");
  EXPECT_EQ(*g.paths.active, "act");
  EXPECT_EQ(*g.paths.batch, "bat");
  EXPECT_EQ(*g.paths.newshome, "");
  EXPECT_EQ(*g.paths.incoming, "in");
  EXPECT_EQ(*g.togo, "togo");
  EXPECT_EQ(*g.bounce, "none");
  EXPECT_EQ(*g.stat, "st");
  EXPECT_EQ(*g.desc, "d");
  EXPECT_EQ(*g.alldesc, "ad");
  EXPECT_EQ(*g.ctlinnd, "ctl");
  EXPECT_EQ(*g.paths.locks, "lk");
  EXPECT_EQ(*g.mfilter, "mf");
  EXPECT_EQ(*g.add_header, "Path: x");
  EXPECT_EQ(*g.filter, "flt");
  EXPECT_EQ(*g.newlist, "nl");
  EXPECT_EQ(*g.paths.inhosts, "ih");
  EXPECT_EQ(*g.spool_name, "sp");
  EXPECT_EQ(*g.server_host, "hn");
  EXPECT_EQ(*g.server_port, "po");
  EXPECT_EQ(*g.paths.host_config, "hc");
}

TEST_F(ParseOptions, AttachModes) {
  parse({"--attach", "y"});
  EXPECT_EQ(g.attach, base::kAttachYes);
  parse({"--attach", "bogus"});
  EXPECT_EQ(g.attach, base::kAttachYes);
  parse({"--attach", "no"});
  EXPECT_EQ(g.attach, base::kAttachNo);
  parse({"--attach", "m"});
  EXPECT_EQ(g.attach, base::kAttachMime);
}

TEST_F(ParseOptions, InewsOptionsWinInEitherOrder) {
  parse({"--inews"});
  EXPECT_EQ(*g.pipe_program, "/usr/local/news/bin/inews");
  EXPECT_EQ(*g.pipe_name, "inews");
  EXPECT_FALSE(g.pipe_batch_mode);
  EXPECT_EQ(*g.inews_options, "-hOS");
  parse({"--inews-options", "-h"});
  EXPECT_EQ(*g.inews_options, "-h");

  reset_settings();
  parse({"--inews-options", "-S", "--inews"});
  EXPECT_EQ(*g.inews_options, "-S");
}

TEST_F(ParseOptions, PipeTargets) {
  parse({"--rnews"});
  EXPECT_EQ(*g.pipe_program, "/usr/local/news/bin/rnews");
  EXPECT_EQ(*g.pipe_name, "rnews");
  EXPECT_TRUE(g.pipe_batch_mode);
  EXPECT_FALSE(g.inews_options.has_value());

  reset_settings();
  parse({"--rnews-to", "/bin/cat"});
  EXPECT_EQ(*g.pipe_program, "/bin/cat");
  EXPECT_EQ(*g.pipe_name, "/bin/cat");
  EXPECT_TRUE(g.pipe_batch_mode);

  reset_settings();
  parse({"--pipe-to", "/bin/true"});
  EXPECT_EQ(*g.pipe_program, "/bin/true");
  EXPECT_FALSE(g.pipe_batch_mode);
}

TEST_F(ParseOptions, AuthinfoFileGivesUserAndPassword) {
  TempSite site;
  site.write("auth", "\n   \n# a comment\n  \tnewsuser  s3cret more words\nother line\n");
  parse({"--auth", site.path("auth")});
  EXPECT_EQ(*g.authinfo_user, "newsuser");
  EXPECT_EQ(*g.authinfo_password, "s3cret");
  EXPECT_FALSE(g.authinfo_generic);
}

TEST_F(ParseOptions, AuthinfoFileWithoutUsableLineSetsNothing) {
  TempSite site;
  site.write("auth", "# only\n\n  # comments\n");
  parse({"-a", site.path("auth")});
  EXPECT_FALSE(g.authinfo_user.has_value());
  EXPECT_FALSE(g.authinfo_password.has_value());
}

TEST_F(ParseOptions, AuthgenericTakesTheCommandFromTheEnvironment) {
  setenv("NNTPAUTH", "/usr/local/bin/authme", 1);
  parse({"--authgeneric"});
  unsetenv("NNTPAUTH");
  EXPECT_TRUE(g.authinfo_generic);
  EXPECT_EQ(*g.authinfo_user, "/usr/local/bin/authme");
  EXPECT_EQ(*g.authinfo_generic_command, "/usr/local/bin/authme");
}

TEST_F(ParseOptions, SyncTwiceIsNoConflict) {
  parse({"--sync", "-z"});
  EXPECT_EQ(g.sync, 2);
}

TEST_F(ParseOptionsDeathTest, ExclusiveOptionsAreUsageErrors) {
  EXPECT_EXIT(parse({"--sync", "--reset"}), ExitedWithCode(2), "");
  EXPECT_EXIT(parse({"-R", "-Z"}), ExitedWithCode(2), "");
  EXPECT_EXIT(parse({"--syncnew", "--sync"}), ExitedWithCode(2), "");
  EXPECT_EXIT(parse({"--ihave", "--nomsgid"}), ExitedWithCode(2), "");
  EXPECT_EXIT(parse({"-m", "--ihave"}), ExitedWithCode(2), "");
  EXPECT_EXIT(parse({"--pipe-to", "x", "--pipe-to", "y"}), ExitedWithCode(2), "can't combine");
  EXPECT_EXIT(parse({"--inews", "--rnews-to", "y"}), ExitedWithCode(2), "can't combine");
}

TEST_F(ParseOptionsDeathTest, SecondCredentialSourceIsAUsageError) {
  TempSite site;
  site.write("auth", "user pass\n");
  const std::string file = site.path("auth");
  EXPECT_EXIT(parse({"--auth", file, "--auth", file}), ExitedWithCode(2), "");
  EXPECT_EXIT(
      {
        setenv("NNTPAUTH", "cmd", 1);
        parse({"--authgeneric", "--auth", file});
      },
      ExitedWithCode(2), "");
  EXPECT_EXIT(
      {
        setenv("NNTPAUTH", "cmd", 1);
        parse({"--auth", file, "--authgeneric"});
      },
      ExitedWithCode(2), "");
}

TEST_F(ParseOptionsDeathTest, BadAuthinfoFilesEndWithStatus10) {
  TempSite site;
  site.write("one-word", "  lonely");
  site.write("no-password", "user   \n");
  EXPECT_EXIT(parse({"--auth", site.path("missing")}), ExitedWithCode(10),
              "can't open authorization file \"" + site.path("missing") + "\"");
  EXPECT_EXIT(parse({"--auth", site.path("one-word")}), ExitedWithCode(10),
              "bad syntax in authinfo \\(item 1 of 2\\) \"lonely\"");
  EXPECT_EXIT(parse({"--auth", site.path("no-password")}), ExitedWithCode(10),
              "bad syntax in authinfo \\(item 2 of 2\\) \"user\"");
}

TEST_F(ParseOptionsDeathTest, AuthgenericWithoutNntpauthEndsWithStatus10) {
  EXPECT_EXIT(
      {
        unsetenv("NNTPAUTH");
        parse({"--authgeneric"});
      },
      ExitedWithCode(10), "--authgeneric specified, but NNTPAUTH envariable not set");
}

TEST_F(ParseOptionsDeathTest, HelpUnknownAndNopsEndTheParse) {
  EXPECT_EXIT(parse({"-?"}), ExitedWithCode(0), "");
  EXPECT_EXIT(parse({"--bogus"}), ExitedWithCode(0), "unrecognized option");
  EXPECT_EXIT(parse({"-j"}), ExitedWithCode(0), "invalid option");
  EXPECT_EXIT(parse({"--window"}), ExitedWithCode(0), "requires an argument");
  EXPECT_EXIT(parse({"--no-f"}), ExitedWithCode(0), "ambiguous");
  EXPECT_EXIT(parse({"--nops"}), ExitedWithCode(2), "");
  EXPECT_EXIT(parse({"-v"}), ExitedWithCode(0), "");
}

// Each name and letter of a row goes through getopt_long's tables, built from
// the row, and back to the row: every spelling must land on the row's own
// setting with the value given.
TEST_F(ParseOptions, EverySpellingInTheTableReachesItsSetting) {
  using run::OptionKind;
  base::Settings& s = base::g_settings;
  int checked = 0;
  for (const run::OptionEntry& row : run::option_table()) {
    std::vector<std::string> spellings = {std::string("--") + row.name};
    if (row.alias != nullptr) spellings.push_back(std::string("--") + row.alias);
    if (row.letter != '\0') spellings.push_back(std::string("-") + row.letter);
    for (const std::string& spelling : spellings) {
      SCOPED_TRACE(spelling);
      reset_settings();
      switch (row.kind) {
        case OptionKind::kSwitch:
          s.*row.flag = 0;
          parse({spelling});
          EXPECT_EQ(s.*row.flag, row.value);
          break;
        case OptionKind::kCounter: {
          const int before = s.*row.flag;
          parse({spelling});
          EXPECT_EQ(s.*row.flag, before + 1);
          break;
        }
        case OptionKind::kNumber32:
          parse({spelling, "-2147483648"});
          EXPECT_EQ(s.*row.number32, INT32_MIN);
          break;
        case OptionKind::kNumber64:
          parse({spelling, "-9223372036854775807"});
          EXPECT_EQ(s.*row.number64, -INT64_MAX);
          break;
        case OptionKind::kTime:
          parse({spelling, "3m"});
          EXPECT_EQ(s.*row.number64, 180);
          break;
        case OptionKind::kText:
          parse({spelling, "-value"});
          EXPECT_EQ(s.*row.text, "-value");
          break;
        case OptionKind::kPath:
          parse({spelling, "/some/where"});
          EXPECT_EQ(s.paths.*row.path, "/some/where");
          break;
        case OptionKind::kSpecial:
        case OptionKind::kProfile:
          continue;  // each has cases of its own
      }
      ++checked;
    }
  }
  EXPECT_GT(checked, 70);
}

// The names and letters are what cron jobs and profiles of every site spell
// out: none may go missing or change, and the table has no others.
TEST(OptionTable, HoldsEveryDocumentedNameAndLetter) {
  std::vector<std::string> documented = {
      "active A",       "add-header", "alldesc",     "attach",      "auth a",
      "authgeneric",    "batch B",    "bounce",      "chat w",      "cnews c",
      "config",         "compress",   "config-is",   "connect y",   "continue",
      "ctlinnd",        "debug",      "desc",        "dry-run n",   "end e",
      "enquire q",      "exec x",     "fail",        "filter",      "forget-inactive",
      "groups",         "help ?",     "history h",   "home H",      "hostconfig",
      "hostname",       "ihave",      "incoming I",  "inews",       "inews-options",
      "inhosts",        "inn i",      "keep-fake",   "keep-path k", "keeppath k",
      "keepold o",      "list L",     "locks",       "log l",       "max-path",
      "maxart",         "maxnew X",   "mfilter",     "minfree",     "missing M",
      "newlist",        "newline",    "newsfeeds N", "no-fetch g",  "no-force u",
      "no-hostlock",    "no-msgid m", "no-next",     "no-path",     "no-post p",
      "no-ps",          "no-queue",   "no-reader",
      "no-storage-api",  // storage tokens refused instead of read through sm
      "noaction n",     "nofetch g",  "noforce u",   "nohostlock",  "nomsgid m",
      "nonext",         "nopost p",   "nops",        "noqueue",     "noreader",
      "overview",  // message IDs from HDR listings
      "pipe-to",        "port",       "posted f",    "profile P",   "readbeforeauth",
      "reader r",       "reset R",    "rnews",       "rnews-to",    "scanlogs",
      "size b",         "spool s",    "spoolname",   "starttls",    "starttls-if-offered",
      "stat",           "sync z",     "syncnew Z",   "sys",         "tag",
      "timeout t",      "tls",        "tls-ca",      "tls-cert",    "tls-insecure",
      "tls-key",        "togo T",     "verbose d",   "verify",      "version v",
      "window W",
  };
  std::vector<std::string> table;
  for (const run::OptionEntry& row : run::option_table()) {
    const std::string letter = row.letter != '\0' ? std::string(" ") + row.letter : "";
    table.push_back(row.name + letter);
    if (row.alias != nullptr) table.push_back(row.alias + letter);
  }
  std::sort(documented.begin(), documented.end());
  std::sort(table.begin(), table.end());
  EXPECT_EQ(table, documented);
}

// Whole-program runs: the texts on standard output and standard error.

TEST(OptionTexts, VersionBannerAndNothingAfterIt) {
  const auto result = run_tessu({"--version", "--bogus", "--nops"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  ASSERT_EQ(result.out.rfind("tessu version 1.6\n", 0), 0u) << result.out;
  int lines = 0;
  for (char c : result.out) lines += c == '\n';
  EXPECT_EQ(lines, 5);
}

TEST(OptionTexts, HelpIsUsageAndBugAddress) {
  const auto result = run_tessu({"--help"});
  EXPECT_EQ(result.status, 0);
  ASSERT_EQ(result.out.rfind(kUsage, 0), 0u) << result.out;
  const std::string rest = result.out.substr(sizeof kUsage - 1);
  EXPECT_EQ(rest.rfind("Report bugs to ", 0), 0u);
  EXPECT_EQ(rest.back(), '\n');
  EXPECT_EQ(result.err, "");
}

TEST(OptionTexts, UnknownOptionActsLikeHelp) {
  const auto help = run_tessu({"--help"});
  for (const char* option : {"--bogus", "-j"}) {
    const auto result = run_tessu({"-p", option, "feed"});
    EXPECT_EQ(result.status, 0) << option;
    EXPECT_EQ(result.out, help.out) << option;
    EXPECT_TRUE(contains(result.err, "option")) << result.err;
  }
  const auto missing = run_tessu({"feed", "--window"});
  EXPECT_EQ(missing.status, 0);
  EXPECT_EQ(missing.out, help.out);
}

TEST(OptionTexts, NopsIsAUsageError) {
  const auto result = run_tessu({"--nops", "feed"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, kUsage);
  EXPECT_EQ(result.err, "");
}

TEST(OptionTexts, ExclusionsPrintOnlyTheUsage) {
  TempSite site;
  const auto result = run_tessu(concat(site.site_options(), {"--sync", "--reset", "feed"}));
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, kUsage);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(site.list("locks").empty());
}

TEST(OptionTexts, PipeOptionsCannotBeCombined) {
  TempSite site;
  const auto result = run_tessu(concat(site.site_options(), {"--rnews", "--inews", "feed"}));
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "tessu: can't combine --inews, --rnews, --rnews-to and --pipe-to\n");
  EXPECT_EQ(result.out, kUsage);
}

TEST(OptionTexts, AuthgenericNeedsNntpauth) {
  TempSite site;
  RunOptions options;
  options.env = {{"NNTPAUTH", "\x01"}};
  const auto result = run_tessu(concat(site.site_options(), {"--authgeneric", "feed"}), options);
  EXPECT_EQ(result.status, 10);
  EXPECT_EQ(result.err, "--authgeneric specified, but NNTPAUTH envariable not set\n");

  options.env = {{"NNTPAUTH", "/bin/true"}};
  const auto with = run_tessu(
      concat(site.site_options(), {"--authgeneric", "--enquire", "<a@b>", "feed"}), options);
  EXPECT_EQ(with.status, 12) << with.err;
}

// Runs with --enquire end right after start-up, so every warning of the
// parser is on standard error and nothing else is.
testsupport::RunResult enquire_run(const TempSite& site, const std::vector<std::string>& words) {
  return run_tessu(concat(concat(site.site_options(), words), {"--enquire", "<x@y>", "feed"}));
}

TEST(OptionWarnings, RespecifiedNumberIsReportedOnlyWhenVerbose) {
  TempSite site;
  const auto verbose = enquire_run(site, {"-d", "--window", "5", "--window", "6"});
  EXPECT_EQ(verbose.status, 12);
  EXPECT_TRUE(contains(verbose.err, "tessu: option --window was \"5\", respecified as \"6\"\n"))
      << verbose.err;

  const auto quiet = enquire_run(site, {"--window", "5", "--window", "6"});
  EXPECT_EQ(quiet.status, 12);
  EXPECT_EQ(quiet.err, "");

  const auto same = enquire_run(site, {"-d", "-W", "5", "-W", "5"});
  EXPECT_FALSE(contains(same.err, "was \"5\"")) << same.err;

  const auto short_form = enquire_run(site, {"-d", "-W", "5", "-W6"});
  EXPECT_TRUE(contains(short_form.err, "tessu: option -W was \"5\", respecified as \"6\"\n"))
      << short_form.err;
}

TEST(OptionWarnings, RespecifiedStringIsReportedOnlyWhenVerbose) {
  TempSite site;
  const auto verbose = enquire_run(site, {"-d", "--posted", "one", "--pos", "two"});
  EXPECT_TRUE(contains(verbose.err, "tessu: option --posted was \"one\", respecified as \"two\"\n"))
      << verbose.err;
  const auto quiet = enquire_run(site, {"--log", "one", "--log", "two", "-d"});
  EXPECT_FALSE(contains(quiet.err, "respecified")) << quiet.err;
}

TEST(OptionWarnings, BadValuesAreReportedAndTheRunGoesOn) {
  TempSite site;
  const auto result = enquire_run(
      site, {"--window", "0x10", "-t", "5", "--timeout", "7", "--fail", "2x", "--attach", "maybe"});
  EXPECT_EQ(result.status, 12);
  EXPECT_EQ(result.err,
            "tessu: bad numeric spec for option --window: 0x10\n"
            "tessu: option --timeout was respecified as \"7\"\n"
            "tessu: bad time spec for option --fail: x\n"
            "tessu: unknown --attach mode: maybe\n");
}

TEST(OptionWarnings, OverflowingValuesAreReportedNotWrapped) {
  TempSite site;
  const auto result =
      enquire_run(site, {"-d", "--window", "4294967297", "--fail", "99999999999999999h"});
  EXPECT_EQ(result.status, 12);
  EXPECT_TRUE(contains(result.err, "tessu: bad numeric spec for option --window: 4294967297\n"))
      << result.err;
  EXPECT_TRUE(contains(result.err, "tessu: bad time spec for option --fail: 99999999999999999h\n"))
      << result.err;
  EXPECT_FALSE(contains(result.err, "respecified")) << result.err;
}

TEST(OptionWarnings, HistoryIsNotSupported) {
  TempSite site;
  const auto result = enquire_run(site, {"-h", "/var/lib/news/history"});
  EXPECT_EQ(result.status, 12);
  EXPECT_EQ(result.err, "tessu: history not supported\n");
}

}  // namespace
