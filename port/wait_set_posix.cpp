// The one wait as poll(2).
#include <poll.h>

#include <cerrno>
#include <vector>

#include "port/wait_set.h"

namespace serialtap {

namespace {

short eventsFor(Interest interest) {
    switch (interest) {
        case Interest::Input:
            return POLLIN;
        case Interest::Output:
            return POLLOUT;
        case Interest::Both:
            break;
    }
    return POLLIN | POLLOUT;
}

int pollTimeout(std::uint32_t milliseconds) {
    constexpr std::uint32_t kLongest = 0x7FFFFFFF;
    if (milliseconds == kWaitForever) return -1;
    return static_cast<int>(milliseconds < kLongest ? milliseconds : kLongest);
}

}  // namespace

bool waitOn(WaitSet& set, int& error) {
    // Kept from call to call: most rounds wait on as many handles.
    thread_local std::vector<pollfd> polls;
    std::vector<WaitSource>& sources = set.sources();
    polls.clear();
    for (const WaitSource& source : sources) {
        polls.push_back(pollfd{static_cast<int>(source.handle), eventsFor(source.interest), 0});
    }
    for (;;) {
        int ready = ::poll(polls.data(), polls.size(), pollTimeout(set.waitLimit()));
        if (ready >= 0) break;
        // A signal's handler has written to the stop pipe, which the next
        // poll reports; the limit is counted again from the deadline.
        if (errno != EINTR) {
            error = errno;
            set.forgetReadiness();
            return false;
        }
    }
    for (std::size_t i = 0; i < sources.size(); ++i) {
        short found = polls[i].revents;
        sources[i].hangUp = (found & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        sources[i].ready = found != 0;
    }
    return true;
}

bool waitWatchesOutput() { return true; }

}  // namespace serialtap
