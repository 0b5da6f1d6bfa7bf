#include "support/crash_handler.h"

#include <cstdio>

namespace Veltrix {

std::string CrashFileName(const std::tm& t, unsigned long pid) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u_%02u-%02u-%02u_%lu.dmp", unsigned(t.tm_year + 1900),
                  unsigned(t.tm_mon + 1), unsigned(t.tm_mday), unsigned(t.tm_hour), unsigned(t.tm_min),
                  unsigned(t.tm_sec), pid);
    return buf;
}

}  // namespace Veltrix
