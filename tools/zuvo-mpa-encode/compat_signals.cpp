// install_interrupt_handler of compat.h, on every platform: the signals a
// platform lacks (Windows has no SIGPIPE, where a closed pipe is a write
// error anyway, and no SIGHUP) are left out.
#include "compat.h"

#include <signal.h>

namespace zuvo_tool {

namespace {

void (*g_cleanup)() = nullptr;

extern "C" void on_fatal_signal(int sig) {
    if (g_cleanup) g_cleanup();
    signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace

void install_interrupt_handler(void (*cleanup)()) {
    g_cleanup = cleanup;
#ifdef SIGPIPE
    signal(SIGPIPE, SIG_IGN); // a closed pipe shows up as a write error
#endif
    signal(SIGINT, on_fatal_signal);
    signal(SIGTERM, on_fatal_signal);
#ifdef SIGHUP
    signal(SIGHUP, on_fatal_signal);
#endif
}

} // namespace zuvo_tool
