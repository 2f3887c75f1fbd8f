#include "daemon/monitor.h"

#include "daemon/pidfile.h"
#include "log/mylog.h"

void CSimpleMonitor::Stop() {
    if (!m_childPidFile.empty() && !CPidFile::delete_pid_file(m_childPidFile.c_str()))
        Singleton<MyLog>::Instance()->Write(ERROR, "delete pid file %s failed",
                                            m_childPidFile.c_str());
    if (!m_parentPidFile.empty() && !CPidFile::delete_pid_file(m_parentPidFile.c_str()))
        Singleton<MyLog>::Instance()->Write(ERROR, "delete parent pid file %s failed",
                                            m_parentPidFile.c_str());
}
