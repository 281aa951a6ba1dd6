// Preloaded into the Windows program under Wine by wine_faults.py: in the process of
// hosts-manager.exe, every getrandom(2) of Wine's gives zeros, so the random part of the names
// the program makes (rand_s, through Wine) is 0 and strace can be told those names before the
// program runs. The session's services that the program starts keep real numbers: some of
// them wait for unique ones.
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

bool in_program() {
    static int known = -1;
    if (known < 0) {
        char line[4096] = {};
        std::FILE* f = std::fopen("/proc/self/cmdline", "rb");
        std::size_t got = f ? std::fread(line, 1, sizeof line - 1, f) : 0;
        if (f) std::fclose(f);
        for (std::size_t i = 0; i < got; ++i)
            if (line[i] == '\0') line[i] = ' ';
        known = std::strstr(line, "hosts-manager.exe") != nullptr;
    }
    return known == 1;
}

}  // namespace

extern "C" ssize_t getrandom(void* buffer, size_t size, unsigned int flags) {
    if (!in_program()) return syscall(SYS_getrandom, buffer, size, flags);
    std::memset(buffer, 0, size);
    return static_cast<ssize_t>(size);
}
