#include "apps/fxhost/interrupt.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <csignal>

namespace fxhost {
namespace {

// Raised by the handler, read by every thread of a render.
std::atomic<int> gInterrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void OnInterrupt(int) {
    gInterrupted.store(1, std::memory_order_relaxed);
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
    return gInterrupted.load(std::memory_order_relaxed) != 0;
}

void CheckInterrupted() {
    if (Interrupted())
        throw Interruption();
}

InterruptsBlocked::InterruptsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
}

InterruptsBlocked::~InterruptsBlocked() {
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

}  // namespace fxhost
