// vesmira-soak WIDTH HEIGHT RATE [SECONDS]
//
// Runs vesmira for SECONDS (600 when not given) on a private virtual
// display, samples its resident memory every second, and has the preloaded
// frame probe log the frame rate and heap allocations of every second.
// Reports the memory growth after the first 10 seconds and how steady the
// frame rate stayed.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "probe_report.h"
#include "process.h"
#include "virtual_display.h"

namespace {

constexpr int SETTLE_SECONDS = 10;
constexpr int TIMEOUT_MS = 20000;

long residentKilobytes(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);  // NOLINT(cert-err34-c)
        }
    }
    return -1;
}

std::vector<ProbeReport> readProbeLog(const std::string& path)
{
    std::vector<ProbeReport> reports;
    std::ifstream log(path);
    for (std::string line; std::getline(log, line);) {
        ProbeReport report;
        if (parseProbeReport(line, &report)) {
            reports.push_back(report);
        }
    }
    return reports;
}

void printMemory(const std::vector<long>& resident)
{
    const long settled = resident[SETTLE_SECONDS - 1];
    const long highest = *std::max_element(resident.begin() + SETTLE_SECONDS - 1, resident.end());
    size_t lastChange = 0;
    for (size_t i = 1; i < resident.size(); ++i) {
        lastChange = resident[i] != resident[i - 1] ? i : lastChange;
    }
    std::printf("resident memory: %ld kB at %d s, %ld kB at the end (growth %ld kB), highest %ld kB\n", settled,
                SETTLE_SECONDS, resident.back(), resident.back() - settled, highest);
    std::printf("resident memory last changed at %zu s, then stayed the same for %zu s\n", lastChange + 1,
                resident.size() - lastChange - 1);
}

void printFrameRate(const std::vector<ProbeReport>& reports)
{
    std::vector<double> fps;
    long frames = 0;
    unsigned long allocations = 0;
    for (size_t i = SETTLE_SECONDS; i < reports.size(); ++i) {
        fps.push_back(static_cast<double>(reports[i].frames) / reports[i].seconds);
        frames += reports[i].frames;
        allocations += reports[i].allocations;
    }
    if (fps.empty()) {
        std::printf("frame rate: too few seconds logged\n");
        return;
    }
    // Drift shows as a trend in the medians of successive minutes.
    std::printf("median frame rate of each minute after %d s:", SETTLE_SECONDS);
    for (size_t minute = 0; minute < fps.size(); minute += 60) {
        std::vector<double> part(fps.begin() + static_cast<long>(minute),
                                 fps.begin() + static_cast<long>(std::min(fps.size(), minute + 60)));
        std::sort(part.begin(), part.end());
        std::printf(" %.0f", part[(part.size() - 1) / 2]);
    }
    std::printf("\n");
    std::sort(fps.begin(), fps.end());
    const auto percentile = [&](size_t p) { return fps[(fps.size() - 1) * p / 100]; };
    const double median = percentile(50);
    const auto slow = std::count_if(fps.begin(), fps.end(), [&](double f) { return f < 0.8 * median; });
    std::printf(
        "frame rate over %zu one-second intervals: lowest %.1f, 5%% %.1f, median %.1f, 95%% %.1f, "
        "highest %.1f fps; %ld intervals below 80%% of the median\n",
        fps.size(), fps.front(), percentile(5), median, percentile(95), fps.back(), static_cast<long>(slow));
    std::printf("heap allocations per frame after %d s: %.4f (%lu in %ld frames)\n", SETTLE_SECONDS,
                static_cast<double>(allocations) / static_cast<double>(frames), allocations, frames);
}

int soak(Display* display, const std::string (&mode)[3], int seconds)
{
    const std::string log = "/tmp/vesmira-soak-" + std::to_string(getpid()) + ".probe";
    (void)std::remove(log.c_str());
    const std::vector<std::string> env = {"LD_PRELOAD=" FRAME_PROBE_LIBRARY, "VESMIRA_PROBE_WARMUP=1",
                                          "VESMIRA_PROBE_REPORT_MS=1000", "VESMIRA_PROBE_LOG=" + log};
    RunningProcess program = startProcess(VESMIRA_BINARY, {"vesmira", mode[0], mode[1], mode[2]}, env);
    const int width = std::atoi(mode[0].c_str());   // NOLINT(cert-err34-c)
    const int height = std::atoi(mode[1].c_str());  // NOLINT(cert-err34-c)
    if (!waitForProgramMode(display, program.pid, width, height, TIMEOUT_MS)) {
        const ProcessResult result = finishProcess(&program, TIMEOUT_MS);
        (void)std::fprintf(stderr, "vesmira did not start: %s%s\n", result.out.c_str(), result.err.c_str());
        return 1;
    }
    std::vector<long> resident;
    const auto start = std::chrono::steady_clock::now();
    for (int second = 1; second <= seconds && !hasEnded(program.pid); ++second) {
        std::this_thread::sleep_until(start + std::chrono::seconds(second));
        resident.push_back(residentKilobytes(program.pid));
        if (second % 60 == 0) {
            std::printf("%d s: %ld kB resident\n", second, resident.back());
            (void)std::fflush(stdout);
        }
    }
    pressKey(display, "q");
    const ProcessResult result = finishProcess(&program, TIMEOUT_MS);
    if (!result.exited || result.exitStatus != 0 || static_cast<int>(resident.size()) < seconds) {
        (void)std::fprintf(stderr, "vesmira ended early or badly: %s\n", result.err.c_str());
        return 1;
    }
    printMemory(resident);
    printFrameRate(readProbeLog(log));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) {
        (void)std::fprintf(stderr, "usage: vesmira-soak WIDTH HEIGHT RATE [SECONDS]\n");
        return 2;
    }
    const std::string mode[3] = {argv[1], argv[2], argv[3]};
    const int seconds = argc == 5 ? std::max(SETTLE_SECONDS + 1, std::atoi(argv[4])) : 600;  // NOLINT(cert-err34-c)
    std::printf("vesmira-soak: %sx%s at %s Hz for %d s\n", mode[0].c_str(), mode[1].c_str(), mode[2].c_str(), seconds);
    VirtualDisplay virtualDisplay;
    if (!openVirtualDisplay(&virtualDisplay)) {
        return 1;
    }
    const int status = soak(virtualDisplay.display, mode, seconds);
    closeVirtualDisplay(&virtualDisplay);
    return status;
}
