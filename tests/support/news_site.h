// What whole runs of tessu against the scripted server share: the arguments
// of a run, the files of the news site (newsfeeds, the local and the host
// active file), and reading back the rnews batches a fetch published.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/nntp_server.h"
#include "support/tessu_runner.h"

namespace testsupport {

/// The value of the Message-ID header of an article text ("" when it has none).
std::string message_id_of(const std::string& text);

/// Splits an rnews batch into its articles, appended to articles; false unless
/// it is exactly a sequence of "#! rnews N" lines each followed by N bytes.
bool split_batch(const std::string& batch, std::vector<std::string>* articles);

/// The arguments of a run: the site's options, then options, then the spool,
/// the server's host and its port.
std::vector<std::string> run_args(const TempSite& site, const std::vector<std::string>& options,
                                  const std::string& spool, const std::string& host,
                                  const std::string& port);

/// A fixture for whole runs against the scripted server (started by SetUp)
/// through one spool, whose newsfeeds entry takes patterns. Every run gets
/// fixed_options before the test's own.
struct NewsSiteTest : testing::Test {
  NewsSiteTest(std::string spool, std::string patterns);
  void SetUp() override;

  TempSite site;
  TestNntpServer server;
  std::string spool_;
  std::string patterns_;
  std::vector<std::string> fixed_options;

  /// Writes the local active file: every group, flag y.
  void set_active(const std::vector<std::string>& groups) const;
  /// The spool's host active file.
  std::string host_active() const;
  void set_host_active(const std::string& text) const;

  /// The arguments of a run with the extra options against the server at host.
  std::vector<std::string> args(const std::vector<std::string>& extra,
                                const std::string& host = "127.0.0.1") const;
  /// Runs tessu with args(extra, host) to its end.
  RunResult run(const std::vector<std::string>& extra = {},
                const std::string& host = "127.0.0.1") const;
};

}  // namespace testsupport
