// PID files: the process id in decimal, no newline, held under an exclusive
// flock for as long as the returned descriptor stays open.
#pragma once

class CPidFile {
public:
    // The locked, close-on-exec descriptor, or -1 (null path, cannot open,
    // or locked by another process; a locked file is left untouched).
    static int write_pid_file(const char *path);
    // True when removed or already absent.
    static bool delete_pid_file(const char *path);
};
