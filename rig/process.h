#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct ProcessResult {
    bool exited = false;  // ended by exit; exitStatus is valid
    int exitStatus = -1;
    int termSignal = 0;     // the signal that killed it, if one did
    bool timedOut = false;  // killed by us after the time limit
    std::string out;
    std::string err;
};

struct RunningProcess {
    pid_t pid = -1;
    int outFd = -1;
    int errFd = -1;
};

// Starts path with exactly this argument vector (argv[0] included, may be
// empty) and the environment plus extraEnv ("NAME=value"), stdout and
// stderr captured.
RunningProcess startProcess(const std::string& path, const std::vector<std::string>& argv,
                            const std::vector<std::string>& extraEnv = {});

// Waits for the end, collecting output; SIGKILLs it after timeoutMs.
ProcessResult finishProcess(RunningProcess* process, int timeoutMs);

ProcessResult runProcess(const std::string& path, const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv = {}, int timeoutMs = 30000);

// Polls check every 20 ms until it holds or timeoutMs has passed.
bool waitUntil(const std::function<bool()>& check, int timeoutMs);

// How a program run to its end ended: its exit status (-1 when it did not
// run or was killed) and its peak resident memory in kB (-1 when unknown).
struct EndedRun {
    int exitStatus = -1;
    long peakKb = -1;
};

// Runs path with this argument vector (argv[0] included) to its end,
// standard output written to outPath, standard error thrown away unless
// kept.
EndedRun runToEnd(const std::string& path, const std::vector<std::string>& argv,
                  const std::string& outPath = "/dev/null", bool keepStandardError = false);

// Runs path with this argument vector to its end, its output thrown away;
// its peak resident memory in kB, or -1 when it did not run or exit.
long peakResidentKbOf(const std::string& path, const std::vector<std::string>& argv);

// Whether the process has ended (without reaping it).
bool hasEnded(pid_t pid);
// Whether the child has stopped, by a signal such as SIGSTOP, and not gone
// on since.
bool hasStopped(pid_t pid);
