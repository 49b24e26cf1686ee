// Preloaded (LD_PRELOAD) into a GLUT program: holds every buffer swap until
// the next tick of a 60 Hz clock, as vertical sync does. The virtual display
// has no vertical blank and Mesa's software renderer offers no swap
// interval, so this is how frames are paced there.
//
// A signal does not cut the wait short: as in a driver's wait for the
// blank, the wait goes on once the handler has returned. After every ten
// swaps it writes "pacer: 10 swaps in MS ms" to stderr, so a test can tell
// that the frames were paced.
//
// With PACER_STOP_AFTER_SWAP=N, the program stops itself (SIGSTOP) once
// the X server has shown what its N-th swap presented, so that a test can
// look at it for as long as it needs.
#include <GL/glx.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int64_t NS_PER_SECOND = 1000000000;
constexpr int64_t PERIOD_NS = NS_PER_SECOND / 60;
constexpr int REPORT_SWAPS = 10;

int64_t nowNs()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * NS_PER_SECOND + now.tv_nsec;
}

void waitForNextTick()
{
    const int64_t tickNs = (nowNs() / PERIOD_NS + 1) * PERIOD_NS;
    const timespec tick = {static_cast<time_t>(tickNs / NS_PER_SECOND), static_cast<long>(tickNs % NS_PER_SECOND)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr) == EINTR) {
    }
}

// Times every ten frame periods, from the end of one swap to the end of the
// tenth after it.
void countSwap()
{
    static int swaps = 0;
    static int64_t startNs = 0;
    const int64_t now = nowNs();
    if (swaps == REPORT_SWAPS) {
        char line[64];
        const int length = std::snprintf(line, sizeof line, "pacer: %d swaps in %lld ms\n", REPORT_SWAPS,
                                         static_cast<long long>((now - startNs) / 1000000));
        // Nothing to be done if stderr is gone.
        const ssize_t written = write(STDERR_FILENO, line, static_cast<size_t>(length));
        (void)written;
        swaps = 0;
    }
    if (swaps == 0) {
        startNs = now;
    }
    ++swaps;
}

}  // namespace

// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name,cert-dcl58-cpp)
extern "C" void glXSwapBuffers(Display* display, GLXDrawable drawable)
{
    using SwapBuffers = void (*)(Display*, GLXDrawable);
    static const auto next = reinterpret_cast<SwapBuffers>(dlsym(RTLD_NEXT, "glXSwapBuffers"));
    next(display, drawable);
    static const char* const stopAfter = std::getenv("PACER_STOP_AFTER_SWAP");
    static long swaps = 0;
    if (stopAfter != nullptr && ++swaps == std::strtol(stopAfter, nullptr, 10)) {
        XSync(display, False);
        (void)std::raise(SIGSTOP);
    }
    waitForNextTick();
    countSwap();
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name,cert-dcl58-cpp)
