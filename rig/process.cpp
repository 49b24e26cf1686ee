#include "process.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> cStrings(std::vector<std::string>* strings)
{
    std::vector<char*> pointers;
    for (std::string& s : *strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool readInto(int* fd, std::string* text)
{
    char buffer[4096];
    const ssize_t n = read(*fd, buffer, sizeof buffer);
    if (n > 0) {
        text->append(buffer, static_cast<size_t>(n));
        return true;
    }
    close(*fd);
    *fd = -1;
    return false;
}

}  // namespace

RunningProcess startProcess(const std::string& path, const std::vector<std::string>& argv,
                            const std::vector<std::string>& extraEnv)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        std::abort();
    }
    std::vector<std::string> args = argv;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> cArgs = cStrings(&args);
    std::vector<char*> cEnv = cStrings(&env);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        execve(path.c_str(), cArgs.data(), cEnv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    return RunningProcess{pid, outPipe[0], errPipe[0]};
}

ProcessResult finishProcess(RunningProcess* process, int timeoutMs)
{
    ProcessResult result;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (process->outFd >= 0 || process->errFd >= 0) {
        pollfd fds[2] = {{process->outFd, POLLIN, 0}, {process->errFd, POLLIN, 0}};
        const int ready = poll(fds, 2, remainingMs(deadline));
        if (ready <= 0) {
            result.timedOut = true;
            kill(process->pid, SIGKILL);
            break;
        }
        if (fds[0].revents != 0) {
            readInto(&process->outFd, &result.out);
        }
        if (fds[1].revents != 0) {
            readInto(&process->errFd, &result.err);
        }
    }
    for (int* fd : {&process->outFd, &process->errFd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    int status = 0;
    waitpid(process->pid, &status, 0);
    result.exited = WIFEXITED(status);
    result.exitStatus = result.exited ? WEXITSTATUS(status) : -1;
    result.termSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    process->pid = -1;
    return result;
}

ProcessResult runProcess(const std::string& path, const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv, int timeoutMs)
{
    RunningProcess process = startProcess(path, argv, extraEnv);
    return finishProcess(&process, timeoutMs);
}

bool waitUntil(const std::function<bool()>& check, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!check()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool hasEnded(pid_t pid)
{
    siginfo_t info = {};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

bool hasStopped(pid_t pid)
{
    siginfo_t info = {};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid &&
           info.si_code == CLD_STOPPED;
}

EndedRun runToEnd(const std::string& path, const std::vector<std::string>& argv, const std::string& outPath,
                  bool keepStandardError)
{
    std::vector<std::string> args = argv;
    const std::vector<char*> pointers = cStrings(&args);
    // Forked, not spawned: a child that shares this process's memory until
    // it execs inherits its high-water mark, and its peak would be ours. A
    // forked child starts from what this process holds at the fork, so give
    // back what is free first.
    (void)malloc_trim(0);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (out < 0 || null < 0 || dup2(out, STDOUT_FILENO) < 0 ||
            (!keepStandardError && dup2(null, STDERR_FILENO) < 0)) {
            _exit(127);
        }
        execv(path.c_str(), pointers.data());
        _exit(127);
    }
    EndedRun ended;
    int status = 0;
    rusage usage = {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
        return ended;
    }
    ended.peakKb = usage.ru_maxrss;
    ended.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ended;
}

long peakResidentKbOf(const std::string& path, const std::vector<std::string>& argv)
{
    const EndedRun ended = runToEnd(path, argv);
    return ended.exitStatus < 0 ? -1 : ended.peakKb;
}
