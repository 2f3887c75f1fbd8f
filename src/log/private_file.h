// Files that only their owner (root, on a real system) may read or write:
// the registry database with its journal, and the logs. They hold every
// front UI's uuid and configuration, so they are created 0600 whatever the
// umask, and a file left with a wider mode is narrowed.
#pragma once

#include <sys/types.h>

constexpr mode_t kPrivateFileMode = 0600;

// Creates `path` with mode 0600 unless something is there already: 1
// created, 0 it existed, -1 with errno on any other failure.
int private_file_create(const char *path);

// Takes group and other access away from the regular file open on `fd`:
// 1 narrowed (`*was` and `*now` tell the modes), 0 nothing to do (not a
// regular file, or already private), -1 with errno.
int private_file_narrow(int fd, mode_t *was, mode_t *now);
