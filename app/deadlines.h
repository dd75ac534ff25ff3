#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

#include "port/serial_device.h"

namespace serialtap {

// The moments by which the capture's wait must end, gathered from every
// timer that runs; the wait ends at the earliest. With none, it waits
// without a limit and the clock is not read.
class Deadlines {
public:
    using Clock = std::chrono::steady_clock;

    void add(std::optional<Clock::time_point> due) {
        if (due && (!earliest_ || *due < *earliest_)) earliest_ = due;
    }
    bool any() const { return earliest_.has_value(); }

    // Milliseconds until the earliest, rounded up so that the wait does
    // not end just before it; kWaitForever when there is none.
    std::uint32_t waitLimit() const {
        if (!earliest_) return kWaitForever;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*earliest_ - Clock::now()).count();
        constexpr std::chrono::milliseconds::rep kLongest = 0x7FFFFFFF;
        return static_cast<std::uint32_t>(
            std::clamp<std::chrono::milliseconds::rep>(left, 0, kLongest));
    }

private:
    std::optional<Clock::time_point> earliest_;
};

}  // namespace serialtap
