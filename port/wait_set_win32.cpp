// The one wait as WaitForMultipleObjects. Every handle in it is a
// manual-reset event or a console input handle, which a look does not reset.
#include <windows.h>

#include <vector>

#include "port/wait_set.h"

namespace serialtap {

bool waitOn(WaitSet& set, int& error) {
    std::vector<WaitSource>& sources = set.sources();
    std::vector<HANDLE> handles;
    for (const WaitSource& source : sources) {
        handles.push_back(reinterpret_cast<HANDLE>(source.handle));
    }
    set.forgetReadiness();
    DWORD limit = set.waitLimit();
    if (handles.empty()) {
        Sleep(limit);
        return true;
    }
    if (handles.size() > MAXIMUM_WAIT_OBJECTS) handles.resize(MAXIMUM_WAIT_OBJECTS);
    DWORD count = static_cast<DWORD>(handles.size());
    DWORD result = WaitForMultipleObjects(count, handles.data(), FALSE, limit);
    if (result == WAIT_TIMEOUT) return true;
    if (result == WAIT_FAILED || result >= WAIT_OBJECT_0 + count) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    // The wait names the first ready handle only; the others are looked at.
    DWORD first = result - WAIT_OBJECT_0;
    sources[first].ready = true;
    for (DWORD i = first + 1; i < count; ++i) {
        sources[i].ready = WaitForSingleObject(handles[i], 0) == WAIT_OBJECT_0;
    }
    return true;
}

bool waitWatchesOutput() { return false; }

}  // namespace serialtap
