// The console keyboard and the console control handler on Windows.
#include <windows.h>

#include <atomic>
#include <memory>
#include <optional>

#include "app/console.h"

namespace serialtap {
namespace {

// The one or two codes a key press gives: a character, or the prefix of an
// extended key followed by that key's own code.
struct KeyCodes {
    int count = 0;
    int codes[2] = {0, 0};
};

constexpr int kPlainPrefix = 0x00;
constexpr int kGreyPrefix = 0xE0;

enum Modifier { kNone, kShift, kCtrl, kAlt };

Modifier modifierOf(DWORD state) {
    if (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) return kAlt;
    if (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) return kCtrl;
    if (state & SHIFT_PRESSED) return kShift;
    return kNone;
}

// The second codes of the cursor block, alone and with Shift, Ctrl, Alt, in
// the numbering of the PC keyboard's extended codes.
struct CursorKey {
    WORD virtualKey;
    int codes[4];
};

constexpr CursorKey kCursorKeys[] = {
    {VK_HOME, {0x47, 0x47, 0x77, 0x97}},   {VK_UP, {0x48, 0x48, 0x8D, 0x98}},
    {VK_PRIOR, {0x49, 0x49, 0x84, 0x99}},  {VK_LEFT, {0x4B, 0x4B, 0x73, 0x9B}},
    {VK_RIGHT, {0x4D, 0x4D, 0x74, 0x9D}},  {VK_END, {0x4F, 0x4F, 0x75, 0x9F}},
    {VK_DOWN, {0x50, 0x50, 0x91, 0xA0}},   {VK_NEXT, {0x51, 0x51, 0x76, 0xA1}},
    {VK_INSERT, {0x52, 0x52, 0x92, 0xA2}}, {VK_DELETE, {0x53, 0x53, 0x93, 0xA3}},
};

KeyCodes extended(int prefix, int code) {
    KeyCodes key;
    key.count = 2;
    key.codes[0] = prefix;
    key.codes[1] = code;
    return key;
}

KeyCodes extendedKey(const KEY_EVENT_RECORD& event) {
    Modifier modifier = modifierOf(event.dwControlKeyState);
    WORD vk = event.wVirtualKeyCode;
    if (vk >= VK_F1 && vk <= VK_F10) {
        static constexpr int kFirst[4] = {0x3B, 0x54, 0x5E, 0x68};
        return extended(kPlainPrefix, kFirst[modifier] + (vk - VK_F1));
    }
    if (vk == VK_F11 || vk == VK_F12) {
        static constexpr int kFirst[4] = {0x85, 0x87, 0x89, 0x8B};
        return extended(kGreyPrefix, kFirst[modifier] + (vk - VK_F11));
    }
    for (const CursorKey& key : kCursorKeys) {
        if (key.virtualKey != vk) continue;
        // The grey cursor block has its own prefix; the keypad's cursor
        // keys (Num Lock off) and every Alt combination have the plain one.
        bool grey = (event.dwControlKeyState & ENHANCED_KEY) != 0 && modifier != kAlt;
        return extended(grey ? kGreyPrefix : kPlainPrefix, key.codes[modifier]);
    }
    return KeyCodes{};
}

// Only key-down events with a character or of a known extended key count;
// releases, modifier keys alone, mouse, focus and size events do not.
KeyCodes keyCodesOf(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT) return KeyCodes{};
    const KEY_EVENT_RECORD& event = record.Event.KeyEvent;
    if (!event.bKeyDown) return KeyCodes{};
    // The character itself, not its bytes in the console's code page: a
    // double-byte character from an input method could end in a 0x71.
    if (event.uChar.UnicodeChar != 0) {
        KeyCodes key;
        key.count = 1;
        key.codes[0] = event.uChar.UnicodeChar;
        return key;
    }
    return extendedKey(event);
}

// Reads key events straight from the console input buffer, which neither
// echoes nor waits for Enter in any input mode. The event being delivered
// stays in the buffer until its last code has been taken, so the input
// handle stays signalled while the second code of an extended key waits.
// Nothing here waits: a record is read only right after a look has shown
// it, since another process on the same console may take records too.
class Win32Console final : public Console {
public:
    explicit Win32Console(HANDLE input) : input_(input) {}
    Win32Console(const Win32Console&) = delete;
    Win32Console& operator=(const Win32Console&) = delete;
    ~Win32Console() override { CloseHandle(input_); }

    bool keyWaiting() override {
        INPUT_RECORD record;
        while (peek(record)) {
            if (keyCodesOf(record).count > 0) return true;
            // Dropped here so that they do not keep the handle signalled
            // and wake the event wait again and again.
            consume();
        }
        return false;
    }

    // Gives -1, as a failed read does, when the key it was called for has
    // gone meanwhile.
    int readKey() override {
        for (;;) {
            INPUT_RECORD record;
            if (!peek(record)) return -1;
            KeyCodes key = keyCodesOf(record);
            if (key.count == 0) {
                if (!consume()) return -1;
                continue;
            }
            WORD repeats = record.Event.KeyEvent.wRepeatCount;
            int total = key.count * (repeats > 0 ? repeats : 1);
            int code = key.codes[delivered_ % key.count];
            if (++delivered_ >= total && !consume()) return -1;
            return code;
        }
    }

    std::optional<NativeHandle> wakeHandle() const override {
        // A console that can no longer be read would keep the event wait
        // waking for nothing; it leaves the wait set instead.
        if (lost_) return std::nullopt;
        return reinterpret_cast<NativeHandle>(input_);
    }

private:
    bool peek(INPUT_RECORD& record) {
        DWORD count = 0;
        if (!PeekConsoleInputW(input_, &record, 1, &count)) {
            lost_ = true;
            return false;
        }
        return count == 1;
    }

    // Takes the record at the front, if there still is one: a read from an
    // empty buffer would wait for the next input.
    bool consume() {
        INPUT_RECORD record;
        delivered_ = 0;
        if (!peek(record)) return !lost_;
        DWORD count = 0;
        return ReadConsoleInputW(input_, &record, 1, &count) != 0;
    }

    HANDLE input_;
    int delivered_ = 0;  // codes already given from the event at the front
    bool lost_ = false;
};

// Without a console no key is ever waiting; the capture ends from outside.
class NoConsole final : public Console {
public:
    bool keyWaiting() override { return false; }
    int readKey() override { return -1; }
    std::optional<NativeHandle> wakeHandle() const override { return std::nullopt; }
};

// The control handler runs on a thread of its own and may run at any time
// until the process ends, so what it touches lives as long as the process.
struct StopState {
    std::atomic<bool> requested{false};
    std::atomic<bool> shuttingDown{false};
    // When the first request came, or the shutdown began after q.
    std::atomic<ULONGLONG> firstRequestAt{0};
    HANDLE event = nullptr;
};

// One Ctrl+C may arrive twice, from the console and from a wrapper that
// passes it on; a repeat this soon is the same request.
constexpr ULONGLONG kSameRequestMs = 200;

StopState& stopState() {
    static StopState state;
    return state;
}

// Windows ends the process once the handler returns from a close, log-off
// or shut-down notice, and at the latest after about five seconds.
constexpr DWORD kCloseAllowanceMs = 5000;

BOOL WINAPI onConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            return FALSE;
    }
    StopState& state = stopState();
    bool interrupt = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
    if (interrupt && (state.requested || state.shuttingDown)) {
        // Asked again while the capture is being written out, which may be
        // what hangs: end now, without the run-time's clean-up, which could
        // wait for the stream the capture loop is stuck in. The console's
        // modes were never changed.
        if (GetTickCount64() - state.firstRequestAt >= kSameRequestMs) {
            TerminateProcess(GetCurrentProcess(), 1);
        }
        return TRUE;
    }
    if (!state.requested) state.firstRequestAt = GetTickCount64();
    state.requested = true;
    SetEvent(state.event);
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
        // Holding the handler keeps the process alive while the capture
        // loop closes the port and writes out the file; the normal exit
        // then ends this thread with the rest of the process.
        Sleep(kCloseAllowanceMs);
    }
    return TRUE;
}

class Win32StopSignal final : public StopSignal {
public:
    bool requested() override { return stopState().requested; }
    NativeHandle wakeHandle() const override {
        return reinterpret_cast<NativeHandle>(stopState().event);
    }
    void shutdownBegun() override {
        StopState& state = stopState();
        if (!state.requested) state.firstRequestAt = GetTickCount64();
        state.shuttingDown = true;
    }
};

}  // namespace

std::unique_ptr<Console> openPlatformConsole() {
    // CONIN$ reaches the console keyboard even when standard input is
    // redirected.
    HANDLE input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) return std::make_unique<NoConsole>();
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode)) {
        CloseHandle(input);
        return std::make_unique<NoConsole>();
    }
    return std::make_unique<Win32Console>(input);
}

bool standardOutputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

// Without the event or the handler, stop requests are not watched and
// Ctrl+C ends the process the system's way.
std::unique_ptr<StopSignal> installPlatformStopSignal() {
    StopState& state = stopState();
    if (state.event == nullptr) {
        // Manual-reset: once asked to stop, every later wait ends at once.
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr) return nullptr;
        state.event = event;
        // A process started in a new process group, or by one that ignores
        // Ctrl+C, inherits the ignoring; the handler would never see it.
        SetConsoleCtrlHandler(nullptr, FALSE);
        // The handler stays installed for the rest of the process: a second
        // Ctrl+C during the shutdown ends it with status 1, never by default.
        if (!SetConsoleCtrlHandler(onConsoleControl, TRUE)) {
            state.event = nullptr;
            CloseHandle(event);
            return nullptr;
        }
    }
    state.requested = false;
    state.shuttingDown = false;
    ResetEvent(state.event);
    return std::make_unique<Win32StopSignal>();
}

// Windows gives a process without standard handles none in their place, so
// no file opened later can become one; failed writes raise no signal.
void prepareProcess() {}

bool standardOutputWasClosed() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    return output == nullptr || output == INVALID_HANDLE_VALUE;
}

// The console control events are all handled as stop requests.
void endAsStopSignalAsks() {}

}  // namespace serialtap
