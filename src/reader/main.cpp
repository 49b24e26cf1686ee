#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>

#include <opencv2/core/utils/logger.hpp>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "reader/live_input.h"
#include "reader/options.h"
#include "reader/read_photo.h"
#include "reader/report.h"
#include "reader/run.h"
#include "reader/video_input.h"

namespace {

// Whether two descriptors reach the same file, pipe or terminal.
bool sameDestination(int a, int b)
{
    struct stat first = {};
    struct stat second = {};
    return fstat(a, &first) == 0 && fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// Set by SIGINT or SIGTERM during --live. A signal handler can reach
// nothing but a global, and may only store to a lock-free atomic: this
// flag is all the state the program keeps outside its functions.
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may only store to a lock-free atomic");

void requestStop(int /*signal*/)
{
    stopRequested.store(true);
}

// The first SIGINT or SIGTERM ends the live run at its next frame, with
// the summary; a second, its handler reset, ends the program as usual.
void stopOnSignals()
{
    struct sigaction action = {};
    action.sa_handler = requestStop;
    action.sa_flags = static_cast<int>(SA_RESETHAND);  // the top bit, as the kernel reads it
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM}) {
        (void)sigaction(signal, &action, nullptr);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // Freed memory stays in the process for the next photo or frame: each
    // is a few large buffers, and mapping them afresh every time costs more
    // in page faults than reading a video frame's screens. The buffers in
    // use at once are bounded, and so is what stays.
    constexpr int KEEP_BELOW = 1 << 30;
    (void)mallopt(M_MMAP_THRESHOLD, KEEP_BELOW);
    (void)mallopt(M_TRIM_THRESHOLD, KEEP_BELOW);
    try {
        // Standard error carries one line per failed photo; OpenCV's own
        // messages would break that, and its failures reach us as errors.
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
        reader::configureVideoInput();

        const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        const reader::CommandLine line = reader::parseCommandLine(args);
        switch (line.action) {
            case reader::CommandLine::Action::ShowHelp:
                std::cout << reader::helpText() << std::flush;
                return std::cout ? 0 : 1;
            case reader::CommandLine::Action::UsageError:
                std::cerr << "vesmira-read: " << reader::oneLine(line.error) << "\n" << reader::usageText();
                return 2;
            case reader::CommandLine::Action::Read:
                break;
        }
        // A video's screens that stay put keep their strips' maps and
        // grids from frame to frame.
        reader::TrackedScreens tracked;
        const reader::PhotoReader read = [&tracked](const cv::Mat& photo, const reader::ReadSettings& settings,
                                                    const reader::KnownScreens* known) {
            return reader::readPhoto(photo, settings, known, known != nullptr ? &tracked : nullptr);
        };
        const bool oneDestination = sameDestination(STDOUT_FILENO, STDERR_FILENO);
        if (!line.options.liveSource.empty()) {
            reader::configureLiveInput();
            stopOnSignals();
            return reader::runLive(line.options, std::cout, std::cerr, oneDestination, read, &stopRequested);
        }
        return reader::runReader(line.options, std::cout, std::cerr, oneDestination, read);
    } catch (const std::exception& e) {
        std::cerr << "vesmira-read: " << e.what() << "\n";
        return 1;
    }
}
