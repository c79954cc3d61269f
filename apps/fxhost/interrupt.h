// Ctrl-C and termination requests: the handlers only raise a flag; long
// loops check it and unwind, so partial outputs are removed on the way out.
#pragma once
#include <signal.h>

#include "refhost/refhost.h"

namespace fxhost {

// Thrown when the user interrupted the work.
class Interruption : public refhost::Error {
  public:
    Interruption() : refhost::Error("interrupted") {}
};

// Installs the handlers for SIGINT and SIGTERM (without restarting system
// calls, so blocking reads return) and ignores SIGPIPE, so a writer learns
// about a reader that went away from the error instead of dying.
void InstallInterruptHandlers();
bool Interrupted();
// Throws Interruption when an interrupt arrived.
void CheckInterrupted();

// SIGINT and SIGTERM blocked on the calling thread while alive, so threads
// started meanwhile inherit the mask and leave the signals to it.
class InterruptsBlocked {
  public:
    InterruptsBlocked();
    ~InterruptsBlocked();
    InterruptsBlocked(const InterruptsBlocked&) = delete;
    InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

  private:
    sigset_t old_;
};

}  // namespace fxhost
