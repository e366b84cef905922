// A stand-in for sendmail, which lives at a fixed path: tests run the code
// under test in a private mount namespace where that path is the recorder.
#pragma once

#include <functional>
#include <string>

#include "support/tessu_runner.h"

namespace testsupport {

/// The exit status of a child that could not have a mount namespace of its own.
inline constexpr int kNoNamespace = 77;

/// Records its arguments ("args") and its input ("mail"), and ends with the
/// status found in the file "status" (0 without it).
struct SendmailRecorder {
  SendmailRecorder();
  TempSite dir;
  std::string script = dir.path("recorder");
  std::string mail() const { return dir.read("mail"); }
  std::string args() const { return dir.read("args"); }
  bool ran() const { return dir.exists("args"); }
  std::string err() const { return dir.read("stderr"); }
};

/// In a forked child: enters a private mount namespace in which sendmail runs
/// the recorder. Nothing reaches the system's own mounts. False when no
/// namespace could be had.
bool enter_recording_namespace(const SendmailRecorder& recorder);

/// Runs body in a child process that sees the recorder as sendmail, its
/// standard error going to the recorder's "stderr" file. Returns the child's
/// exit status: 0 when body returned true, kNoNamespace when no namespace could be had.
int run_with_recorder(const SendmailRecorder& recorder, const std::function<bool()>& body);

}  // namespace testsupport
