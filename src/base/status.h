// The exit statuses of the program and the version it reports.
#pragma once

namespace base {

/// Exit statuses of the program.
enum Status : int {
  kStatusOk = 0,
  kStatusInternal = 1,
  kStatusUsage = 2,
  kStatusNoConnection = 3,
  kStatusRefused = 4,
  kStatusOutgoing = 5,
  kStatusIncoming = 6,
  kStatusConfig = 8,
  kStatusBroken = 9,
  kStatusAuthSetup = 10,
  kStatusConnectScript = 11,
  kStatusEnquiryNegative = 12,
  kStatusLockTimeout = 13,
};

/// The version this program reports.
inline constexpr const char* kVersion = "1.6";

}  // namespace base
