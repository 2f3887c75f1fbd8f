// A copy of the log for the systemd journal. When standard error is the
// journal's stream (JOURNAL_STREAM names the device and inode of descriptor
// 2), each logged message is also written there as "<priority>message\n":
// the journal adds the time and the process itself, and the priority
// stands for the level (ERROR 3, INFO 6, DEBUG 7).
#pragma once

#include <stddef.h>

// True when `stream`, the text of JOURNAL_STREAM ("<dev>:<inode>", both
// decimal), names the file open on `fd`.
bool journal_stream_matches(const char *stream, int fd);

// The syslog priority of a log level (0 ERROR, 1 INFO, 2 DEBUG).
int journal_priority(int level);

// Writes "<priority>" and `line` (an escaped message ending in '\n') to
// `fd` in one call; false when it could not be written whole.
bool journal_write(int fd, int level, const char *line, size_t length);
