// Installs Quilmo's fatal-signal handlers, then crashes on purpose: "segv" (a write through
// a null pointer), "abort", "fpe" (an integer division by zero), "overflow" (unbounded
// recursion), or "none" (exits 0).
#include "QMCrashHandler.h"

#include <QString>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {

// In a sanitizer build the undefined-behaviour checks would stop the null write and the
// division before the processor faults; the point here is the fault itself.
__attribute__((noinline, noclone, no_sanitize("undefined"))) void crashOnPurpose(const char *how)
{
    if (std::strcmp(how, "segv") == 0) {
        volatile int *nowhere = nullptr;
        *nowhere = 42;
    } else if (std::strcmp(how, "abort") == 0) {
        // Called through a pointer, so that the call is not the function's last instruction
        // and its return address stays inside it.
        void (*volatile doAbort)() = std::abort;
        doAbort();
    } else if (std::strcmp(how, "fpe") == 0) {
        // The processor's trap, not raise(): the handler must cope with a real fault.
        volatile int zero = 0;
        volatile int one = 1;
        volatile int r = one / zero;
        (void)r;
    }
    std::puts("still alive");
}

__attribute__((noinline, noclone)) int recurseForever(int depth)
{
    // Never true; it only keeps the compiler from calling the recursion endless.
    if (depth < 0)
        return 0;
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    return recurseForever(depth + 1) + pad[0];
}

}

int main(int argc, char **argv)
{
    const char *how = argc > 1 ? argv[1] : "none";
    if (!QMCrashHandler::install(QStringLiteral("qm_crash_child")))
        return 3;
    if (std::strcmp(how, "overflow") == 0)
        return recurseForever(0);
    crashOnPurpose(how);
    std::puts("no crash");
    return 0;
}
