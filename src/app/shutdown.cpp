#include "app/shutdown.h"

#include "app/outputs.h"

#include <GL/freeglut.h>

#include <csignal>
#include <cstdlib>
#include <initializer_list>

namespace {

volatile std::sig_atomic_t pendingSignal = 0;

void recordSignal(int signalNumber)
{
    pendingSignal = signalNumber;
}

}  // namespace

void quitProgram(int status)
{
    glutLeaveGameMode();
    restoreOutputs();
    std::exit(status);
}

void installSignalHandlers()
{
    struct sigaction action = {};
    action.sa_handler = recordSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // Every signal whose default action ends the process, except those that
    // report a fault of the process itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
    // SIGTRAP, SIGSYS, SIGABRT): returning from a handler cannot defer them.
    for (const int signalNumber : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT,
                                   SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR}) {
        sigaction(signalNumber, &action, nullptr);
    }
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        sigaction(signalNumber, &action, nullptr);
    }
}

void endIfSignalled()
{
    const int signalNumber = pendingSignal;
    if (signalNumber == 0) {
        return;
    }
    if (signalNumber == SIGQUIT) {
        // Ended by the signal itself, as SIGQUIT's users expect (a core dump
        // where the limits allow one), once the desktop mode is back.
        glutLeaveGameMode();
        restoreOutputs();
        (void)std::signal(SIGQUIT, SIG_DFL);
        (void)std::raise(SIGQUIT);
    }
    quitProgram(128 + signalNumber);
}
