#include "support/news_site.h"

#include <utility>

namespace testsupport {

std::string message_id_of(const std::string& text) {
  const std::string key = "Message-ID: ";
  size_t at = text.compare(0, key.size(), key) == 0 ? 0 : text.find("\n" + key);
  if (at == std::string::npos) return "";
  if (at != 0) ++at;
  at += key.size();
  return text.substr(at, text.find('\n', at) - at);
}

bool split_batch(const std::string& batch, std::vector<std::string>* articles) {
  const std::string head = "#! rnews ";
  size_t at = 0;
  while (at < batch.size()) {
    if (batch.compare(at, head.size(), head) != 0) return false;
    const size_t end = batch.find('\n', at);
    if (end == std::string::npos) return false;
    const std::string digits = batch.substr(at + head.size(), end - at - head.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    const size_t length = std::stoul(digits);
    if (end + 1 + length > batch.size()) return false;
    articles->push_back(batch.substr(end + 1, length));
    at = end + 1 + length;
  }
  return true;
}

std::vector<std::string> run_args(const TempSite& site, const std::vector<std::string>& options,
                                  const std::string& spool, const std::string& host,
                                  const std::string& port) {
  return concat(concat(site.site_options(), options), {spool, host, port});
}

NewsSiteTest::NewsSiteTest(std::string spool, std::string patterns)
    : spool_(std::move(spool)), patterns_(std::move(patterns)) {}

void NewsSiteTest::SetUp() {
  ASSERT_GT(server.start(), 0);
  site.write("etc/newsfeeds", "ME:*::\n" + spool_ + ":" + patterns_ + "::\n");
}

void NewsSiteTest::set_active(const std::vector<std::string>& groups) const {
  std::string text;
  for (const std::string& group : groups) text += group + " 0000000100 0000000001 y\n";
  site.write("db/active", text);
}

std::string NewsSiteTest::host_active() const {
  return site.read("inhosts/" + spool_);
}

void NewsSiteTest::set_host_active(const std::string& text) const {
  site.write("inhosts/" + spool_, text);
}

std::vector<std::string> NewsSiteTest::args(const std::vector<std::string>& extra,
                                            const std::string& host) const {
  return run_args(site, concat(fixed_options, extra), spool_, host, server.port_string());
}

RunResult NewsSiteTest::run(const std::vector<std::string>& extra, const std::string& host) const {
  return run_tessu(args(extra, host));
}

}  // namespace testsupport
