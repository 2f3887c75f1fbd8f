// A copy of the log for the systemd journal. When standard error is the
// journal's stream (JOURNAL_STREAM names the device and inode of descriptor
// 2), each logged message is also written there as "<priority>message\n":
// the journal adds the time and the process itself, and the priority
// stands for the level (ERROR 3, WARNING 4, INFO 6, DEBUG 7).
//
// Otherwise the lines that are evidence of who did what (refused requests,
// counts of suppressed lines) are sent alone to the journal's native socket
// (journal_send), so that they outlive a cut of the file log.
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

// A datagram socket for journal_send: its descriptor, or -1.
int journal_socket();

// Sends `message` (escaped, `length` bytes, no line feed) to the journal's
// native socket at `path` through `fd` as one entry: PRIORITY,
// SYSLOG_IDENTIFIER=veskkorvaned and MESSAGE. The address is built by
// unix_address_fill (base/unix_address.h): false at once for a name it
// refuses (empty, over 107 bytes). Never waits: false when the journal is
// absent, full or slow.
bool journal_send(int fd, const char *path, int level, const char *message, size_t length);
