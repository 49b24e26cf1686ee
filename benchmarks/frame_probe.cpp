// Preloaded (LD_PRELOAD) into a GLUT program: times its buffer swaps and
// counts its heap allocations, without changing the program.
//
//   VESMIRA_PROBE_WARMUP=K VESMIRA_PROBE_FRAMES=N
//       after K swaps, measures N more, prints one "probe:" line to stderr
//       and ends the program with exit(0) (GLUT leaves game mode at exit).
//   VESMIRA_PROBE_LOG=FILE VESMIRA_PROBE_REPORT_MS=T
//       appends a "probe:" line for every T ms of swaps to FILE, forever.
//   VESMIRA_PROBE_OWNERS=1
//       also finds, by a backtrace of each allocation (slow), those the
//       program's own code made, directly or through the C and C++
//       runtime, as opposed to the GL driver, GLUT or Xlib.
//
// A line reads: probe: frames=F seconds=S allocations=A own=O
#include <GL/glx.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// glibc's own allocator, under the names it exports for interposers.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)

namespace {

std::atomic<unsigned long> allocations{0};
std::atomic<unsigned long> ownAllocations{0};
bool findOwners = false;
bool measuring = false;
// Initial-exec: the general TLS model may itself allocate on first use.
__attribute__((tls_model("initial-exec"))) thread_local bool insideProbe = false;
uintptr_t programBase = 0;

struct Window {
    long frames = 0;
    double start = 0.0;
    unsigned long allocationsAtStart = 0;
    unsigned long ownAtStart = 0;
};

// The first object dl_iterate_phdr lists is the program itself.
int rememberProgramBase(dl_phdr_info* info, size_t /*size*/, void* /*data*/)
{
    programBase = info->dlpi_addr;
    return 1;
}

bool isRuntime(const char* file)
{
    return file == nullptr || std::strstr(file, "/libc.so") != nullptr || std::strstr(file, "/libstdc++") != nullptr ||
           std::strstr(file, "/libgcc_s") != nullptr || std::strstr(file, "frame_probe") != nullptr;
}

// Whether the first caller outside the runtime and this probe is the program.
bool madeByProgram()
{
    void* callers[12];
    const int count = backtrace(callers, 12);
    for (int i = 1; i < count; ++i) {
        Dl_info where = {};
        if (dladdr(callers[i], &where) == 0) {
            return false;
        }
        if (!isRuntime(where.dli_fname)) {
            return reinterpret_cast<uintptr_t>(where.dli_fbase) == programBase;
        }
    }
    return false;
}

void countAllocation()
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (findOwners && measuring && !insideProbe) {
        insideProbe = true;
        if (madeByProgram()) {
            ownAllocations.fetch_add(1, std::memory_order_relaxed);
        }
        insideProbe = false;
    }
}

__attribute__((constructor)) void startProbe()
{
    dl_iterate_phdr(rememberProgramBase, nullptr);
    // The first backtrace loads libgcc_s, allocating; do it before counting.
    void* warmUp[1];
    backtrace(warmUp, 1);
    findOwners = std::getenv("VESMIRA_PROBE_OWNERS") != nullptr;  // NOLINT(concurrency-mt-unsafe)
}

double secondsNow()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

long setting(const char* name, long fallback)
{
    const char* text = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
    return text != nullptr ? std::strtol(text, nullptr, 10) : fallback;
}

void report(FILE* out, const Window& window, double end)
{
    (void)std::fprintf(out, "probe: frames=%ld seconds=%.6f allocations=%lu own=%lu\n", window.frames,
                       end - window.start, allocations.load() - window.allocationsAtStart,
                       ownAllocations.load() - window.ownAtStart);
    (void)std::fflush(out);
}

void onSwap()
{
    static const long warmup = setting("VESMIRA_PROBE_WARMUP", 120);
    static const long frames = setting("VESMIRA_PROBE_FRAMES", 0);
    static const long reportMs = setting("VESMIRA_PROBE_REPORT_MS", 0);
    static long swaps = 0;
    static Window window;

    if (++swaps < warmup) {
        return;
    }
    const double now = secondsNow();
    if (swaps == warmup) {
        window = Window{0, now, allocations.load(), ownAllocations.load()};
        measuring = true;
        return;
    }
    ++window.frames;
    if (frames > 0 && window.frames == frames) {
        report(stderr, window, now);
        std::exit(0);  // NOLINT(concurrency-mt-unsafe)
    }
    if (reportMs > 0 && now - window.start >= static_cast<double>(reportMs) / 1000.0) {
        static FILE* log = std::fopen(std::getenv("VESMIRA_PROBE_LOG"), "a");  // NOLINT
        if (log != nullptr) {
            report(log, window, now);
        }
        window = Window{0, now, allocations.load(), ownAllocations.load()};
    }
}

}  // namespace

// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name,cert-dcl58-cpp)
extern "C" {

void* malloc(size_t size)
{
    countAllocation();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    countAllocation();
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size)
{
    countAllocation();
    return __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size)
{
    countAllocation();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    return memalign(alignment, size);
}

int posix_memalign(void** pointer, size_t alignment, size_t size)
{
    *pointer = memalign(alignment, size);
    return *pointer != nullptr ? 0 : ENOMEM;
}

void glXSwapBuffers(Display* display, GLXDrawable drawable)
{
    using SwapBuffers = void (*)(Display*, GLXDrawable);
    static const auto next = reinterpret_cast<SwapBuffers>(dlsym(RTLD_NEXT, "glXSwapBuffers"));
    next(display, drawable);
    onSwap();
}
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name,cert-dcl58-cpp)
