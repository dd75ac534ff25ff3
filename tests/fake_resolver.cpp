// Loaded into the program under test with LD_PRELOAD, so that name lookups
// never leave the machine: names under .invalid are unknown at once, and
// one of them hangs as a lookup on a dead name server does; another is
// 127.0.0.1 until the file SERIALTAP_TEST_HANG_FILE names exists, and
// hangs from then on. Other names go to the system's resolver.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

// The resolver's own header is left out: its declaration of getaddrinfo
// would be a second one here. The tests run on glibc.
struct addrinfo;

namespace {

constexpr int kNoSuchName = -2;  // EAI_NONAME

bool endsWith(const char* name, const char* suffix) {
    std::size_t length = std::strlen(name);
    std::size_t suffixLength = std::strlen(suffix);
    return length >= suffixLength && std::strcmp(name + length - suffixLength, suffix) == 0;
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
    using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    auto next = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node != nullptr && endsWith(node, "later-hang.invalid")) {
        const char* hangFile = getenv("SERIALTAP_TEST_HANG_FILE");
        if (hangFile == nullptr || access(hangFile, F_OK) != 0) {
            return next("127.0.0.1", service, hints, result);
        }
        for (;;) pause();
    }
    if (node != nullptr && endsWith(node, "hang.invalid")) {
        for (;;) pause();
    }
    if (node != nullptr && endsWith(node, ".invalid")) return kNoSuchName;
    return next(node, service, hints, result);
}
