#include <cerrno>

#include "port/custom_baud.h"

namespace serialtap {

bool setCustomBaud(int, std::uint32_t) {
    errno = EINVAL;
    return false;
}

}  // namespace serialtap
