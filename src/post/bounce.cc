#include "post/bounce.h"

namespace post {

bool bounce_mail(const char*, const char*, size_t, time_t, const char*, const char*, const char*) {
  return false;
}

}  // namespace post
