// The built-in default security product: the one the front UIs start when
// no other product is active and stop when one registers. Its uuid never
// changes; its name and program are the daemon's settings ([default] in
// korvaned.conf), these values unless the file says otherwise.
#pragma once

constexpr const char *kDefSecSoftUuid = "3c9e51f2-4a7d-5b16-9e04-7d2a6c8f1b35";
constexpr const char *kDefSecSoftName = "Ambrel终端安全管理系统";
constexpr const char *kDefSecSoftExec = "/opt/palemoss/palemoss";
