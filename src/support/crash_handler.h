// Leaves evidence of faults behind: a FAULT log line when a fatal-looking
// exception or signal is raised, and a crash file in LocalDataDir()/crashes
// when it goes unhandled. The process then dies as it would have without us
// (the previous handler or filter runs, or the default action).
#pragma once

#include <ctime>
#include <string>

namespace Veltrix {

// Installs once per process; later calls do nothing.
void InstallCrashHandler();

// "YYYY-MM-DD_HH-MM-SS_<pid>.dmp" for a local time and a process id.
std::string CrashFileName(const std::tm& localTime, unsigned long pid);

}  // namespace Veltrix
