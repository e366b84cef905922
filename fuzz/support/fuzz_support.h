// What the fuzz targets share: the settings a run starts with, a scratch file
// for the readers that take a path, exact-size copies of texts (so a read past
// the end is seen), and the check that reports a broken property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

/// Reports a property that does not hold (on the standard error the process
/// had at start, which libFuzzer's -close_fd_mask=2 leaves open for it) and
/// aborts, which libFuzzer records as a finding.
[[noreturn]] void fail(const char* file, int line, const char* what);

/// Sets base::g_settings to what a run starts with, at verbosity 0.
void reset_settings();

/// A file of this process's own (in memory where possible, else in the
/// temporary directory, removed at exit).
/// The path stays the same for the whole run.
const char* scratch_path();

/// Replaces the scratch file's contents with the bytes.
void write_scratch(std::string_view bytes);

/// Makes bytes what the server sends: nntp::g_connection reads them from a
/// file in memory, then meets the end of the stream; what it sends is thrown
/// away.
void serve_connection(std::string_view bytes);

/// The input as text.
inline std::string_view as_text(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

/// A NUL-terminated copy of text in a heap block of exactly its size.
std::vector<char> exact_copy(std::string_view text);

/// Splits text at every separator byte.
std::vector<std::string_view> split(std::string_view text, char separator);

}  // namespace fuzz

/// Checks a property of a parser's result; a failure is a finding.
#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::fuzz::fail(__FILE__, __LINE__, #condition))
