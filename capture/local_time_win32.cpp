#include <ctime>

#include "capture/time_stamp.h"

namespace serialtap {

bool localCalendarTime(std::int64_t unixSeconds, CalendarTime& local) {
    const auto seconds = static_cast<__time64_t>(unixSeconds);
    std::tm parts{};
    if (_localtime64_s(&parts, &seconds) != 0) return false;
    local = {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
             parts.tm_hour,        parts.tm_min,     parts.tm_sec};
    return true;
}

}  // namespace serialtap
