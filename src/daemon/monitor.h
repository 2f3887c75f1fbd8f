// The supervisor of daemon mode and the worker's farewell to it.
#pragma once

#include <string>

class CSimpleMonitor {
public:
    CSimpleMonitor() = default;

    // The worker's last step: ends the supervisor (if any) and removes the
    // PID files this object knows of. Does nothing in foreground mode.
    void Stop();

private:
    int m_parentPid = -1;
    int m_parentPidFd = -1;
    std::string m_parentPidFile;
    std::string m_childPidFile;
    std::string m_program;
};
