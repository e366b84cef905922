#include "report/util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <new>

#include "report/exit.h"
#include "report/message.h"

namespace report {

void join_path(char* dest, const char* first, const char* second, const char* third,
               const char* fourth) {
  const char* parts[] = {first, second, third, fourth};
  size_t length = 0;
  for (const char* part : parts) {
    if (part == nullptr) break;
    const size_t part_length = strlen(part);
    if (length + part_length > static_cast<size_t>(kPathMax)) {
      message(kError, "file name longer than %d chars", kPathMax);
      report::exit_run(1);
    }
    memmove(dest + length, part, part_length);
    length += part_length;
  }
  dest[length] = '\0';
}

void resolve_path(char* dest, const char* directory, const char* name, const char* override_name) {
  const char* chosen = (override_name != nullptr && *override_name != '\0') ? override_name : name;
  if (chosen[0] == '.' || chosen[0] == '/') {
    join_path(dest, chosen);
  } else {
    join_path(dest, directory, "/", chosen);
  }
}

const char* time_string(time_t t) {
  static char buffer[64];
  struct tm local;
  localtime_r(&t, &local);
  char text[64];
  asctime_r(&local, text);
  snprintf(buffer, sizeof buffer, "%s", text);
  if (char* newline = strchr(buffer, '\n')) *newline = '\0';
  return buffer;
}

const char* skip_blanks(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  return text;
}

char* skip_blanks(char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  return text;
}

bool try_reserve(std::vector<char>* buffer, size_t capacity) {
  if (capacity <= buffer->capacity()) return true;
  // Without exceptions a failed allocation inside std::vector ends the
  // process at once; asking for the memory first leaves the caller to report
  // its lack. The second request, just after the first was returned, is met.
  void* room = ::operator new(capacity, std::nothrow);
  if (room == nullptr) return false;
  ::operator delete(room);
  buffer->reserve(capacity);
  return true;
}

void must_reserve(std::vector<char>* buffer, size_t capacity) {
  if (!try_reserve(buffer, capacity)) {
    message(kError, "out of memory");
    report::unlock_exit(1);
  }
}

int read_line_piece(FILE* file, char* buffer, int capacity) {
  int length = 0;
  while (length < capacity - 1) {
    const int c = getc(file);
    if (c == EOF) break;
    buffer[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buffer[length] = '\0';
  if (length == 0 && ferror(file)) return -1;
  return length;
}

bool rename_file(const char* from, const char* to) {
  if (rename(from, to) != 0) {
    message(kSysError, "can't rename \"%s\" to \"%s\"", from, to);
    return false;
  }
  return true;
}

bool check_regular_file(FILE* file, const char* name, int64_t* size) {
  struct stat status;
  if (fstat(fileno(file), &status) != 0) {
    message(kSysError, "can't fstat \"%s\"", name);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    message(kError, "\"%s\" is not a regular file", name);
    return false;
  }
  if (size != nullptr) *size = status.st_size;
  return true;
}

bool check_root_owned(FILE* file, const char* kind, const char* name) {
  if (geteuid() != 0) return true;
  struct stat status;
  if (fstat(fileno(file), &status) != 0) {
    message(kSysError, "can't fstat \"%s\"", name);
    return false;
  }
  if (status.st_uid != 0 || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    message(kError,
            "%s \"%s\" is writable by a user other than root: run tessu as the news user or "
            "make the file root's",
            kind, name);
    return false;
  }
  return true;
}

FILE* open_append_file(const char* path) {
  // O_NONBLOCK: a FIFO without a reader fails at once instead of hanging the
  // run; a FIFO with one is refused below as not a regular file.
  const int fd = open(
      path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) {
    message(kSysError, "can't append to \"%s\"", path);
    return nullptr;
  }
  struct stat status;
  if (fstat(fd, &status) != 0) {
    message(kSysError, "can't append to \"%s\"", path);
    close(fd);
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) {
    message(kError, "\"%s\" is not a regular file", path);
    close(fd);
    return nullptr;
  }
  const int flags = fcntl(fd, F_GETFL);
  FILE* file = nullptr;
  if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) file = fdopen(fd, "a");
  if (file == nullptr) {
    message(kSysError, "can't append to \"%s\"", path);
    close(fd);
  }
  return file;
}

bool history_has(const char*) {
  return false;
}

void history_close() {}

void storage_close() {}

}  // namespace report
