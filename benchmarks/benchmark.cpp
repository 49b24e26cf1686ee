// vesmira-benchmark WIDTH HEIGHT RATE [RUNS] [FRAMES]
//
// On a private virtual display, alternates runs of vesmira and of
// clear-swap (a GLUT program that only clears and swaps) in the same mode.
// The preloaded frame probe times FRAMES swaps of each after a warm-up and
// counts the heap allocations among them. Prints frames per second of both,
// their medians and ratio. One more run of each, slowed by a backtrace per
// allocation, tells the allocations of the program's own code from those of
// the GL driver, GLUT and Xlib.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "probe_report.h"
#include "process.h"
#include "virtual_display.h"

namespace {

constexpr int RUN_TIMEOUT_MS = 120000;

struct Measurement {
    double fps = 0.0;
    double allocationsPerFrame = 0.0;
    double ownPerFrame = 0.0;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

std::string cpuModel()
{
    std::ifstream cpuInfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuInfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown CPU";
}

bool measure(const std::string& binary, const std::vector<std::string>& argv, long frames, bool findOwners,
             Measurement* result)
{
    std::vector<std::string> env = {"LD_PRELOAD=" FRAME_PROBE_LIBRARY, "VESMIRA_PROBE_WARMUP=120",
                                    "VESMIRA_PROBE_FRAMES=" + std::to_string(frames)};
    if (findOwners) {
        env.emplace_back("VESMIRA_PROBE_OWNERS=1");
    }
    const ProcessResult run = runProcess(binary, argv, env, RUN_TIMEOUT_MS);
    ProbeReport report;
    if (!run.exited || run.exitStatus != 0 || !parseProbeReport(run.err, &report) || report.seconds <= 0.0) {
        (void)std::fprintf(stderr, "%s did not finish its frames: %s%s\n", binary.c_str(), run.out.c_str(),
                           run.err.c_str());
        return false;
    }
    result->fps = static_cast<double>(report.frames) / report.seconds;
    result->allocationsPerFrame = static_cast<double>(report.allocations) / static_cast<double>(report.frames);
    result->ownPerFrame = static_cast<double>(report.own) / static_cast<double>(report.frames);
    return true;
}

int benchmark(const std::string (&mode)[3], int runs, long frames)
{
    const std::vector<std::string> vesmira = {"vesmira", mode[0], mode[1], mode[2]};
    const std::vector<std::string> clearSwap = {"clear-swap", mode[0] + "x" + mode[1] + ":16@" + mode[2]};
    std::vector<double> fps[2];
    std::vector<double> ratios;
    std::printf("%-5s %14s %16s %7s\n", "run", "vesmira fps", "clear-swap fps", "ratio");
    for (int run = 1; run <= runs; ++run) {
        Measurement measured[2];
        if (!measure(VESMIRA_BINARY, vesmira, frames, false, &measured[0]) ||
            !measure(CLEAR_SWAP_BINARY, clearSwap, frames, false, &measured[1])) {
            return 1;
        }
        // Each pair of runs is back to back, so their ratio shrugs off the
        // machine's drift better than the ratio of the medians.
        ratios.push_back(measured[0].fps / measured[1].fps);
        std::printf("%-5d %14.1f %16.1f %7.2f\n", run, measured[0].fps, measured[1].fps, ratios.back());
        fps[0].push_back(measured[0].fps);
        fps[1].push_back(measured[1].fps);
    }
    std::printf("median: vesmira %.1f fps, clear-swap %.1f fps, ratio %.2f\n", median(fps[0]), median(fps[1]),
                median(ratios));

    Measurement owners[2];
    if (!measure(VESMIRA_BINARY, vesmira, 600, true, &owners[0]) ||
        !measure(CLEAR_SWAP_BINARY, clearSwap, 600, true, &owners[1])) {
        return 1;
    }
    std::printf("heap allocations per frame, whole process: vesmira %.2f, clear-swap %.2f\n",
                owners[0].allocationsPerFrame, owners[1].allocationsPerFrame);
    std::printf("heap allocations per frame by the program's own code: vesmira %.3f, clear-swap %.3f\n",
                owners[0].ownPerFrame, owners[1].ownPerFrame);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4 || argc > 6) {
        (void)std::fprintf(stderr, "usage: vesmira-benchmark WIDTH HEIGHT RATE [RUNS] [FRAMES]\n");
        return 2;
    }
    const std::string mode[3] = {argv[1], argv[2], argv[3]};
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;          // NOLINT(cert-err34-c)
    const long frames = argc > 5 ? std::max(1L, std::atol(argv[5])) : 2000L;  // NOLINT(cert-err34-c)

    std::printf("vesmira-benchmark: %sx%s at %s Hz, %d runs of %ld frames each after 120 warm-up frames\n",
                mode[0].c_str(), mode[1].c_str(), mode[2].c_str(), runs, frames);
    std::printf("machine: %s, %ld cores, Mesa llvmpipe on Xorg's dummy driver\n", cpuModel().c_str(),
                sysconf(_SC_NPROCESSORS_ONLN));
    VirtualDisplay virtualDisplay;
    if (!openVirtualDisplay(&virtualDisplay)) {
        return 1;
    }
    const int status = benchmark(mode, runs, frames);
    closeVirtualDisplay(&virtualDisplay);
    return status;
}
