// Bounce mail: tells the poster of a killed article why it was not posted.
#pragma once

#include <cstddef>
#include <ctime>

namespace post {

/// Mails a failure report (and, per --attach, the article in transmission
/// form) to address through sendmail; true when sendmail ended with status 0.
bool bounce_mail(const char* address, const char* text, size_t length, time_t entered,
                 const char* entry, const char* message_id, const char* reason);

}  // namespace post
