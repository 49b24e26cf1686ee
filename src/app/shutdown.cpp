#include "app/shutdown.h"

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
    std::exit(status);
}

void installSignalHandlers()
{
    struct sigaction action = {};
    action.sa_handler = recordSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signalNumber, &action, nullptr);
    }
}

void endIfSignalled()
{
    const int signalNumber = pendingSignal;
    if (signalNumber != 0) {
        quitProgram(128 + signalNumber);
    }
}
