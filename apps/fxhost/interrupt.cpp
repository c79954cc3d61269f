#include "apps/fxhost/interrupt.h"

#include <signal.h>

#include <csignal>

namespace fxhost {
namespace {

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) {
    gInterrupted = 1;
}

}  // namespace

void InstallInterruptHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: blocking reads and writes return EINTR
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() {
    return gInterrupted != 0;
}

void CheckInterrupted() {
    if (Interrupted())
        throw Interruption();
}

}  // namespace fxhost
