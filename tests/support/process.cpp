#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
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

long peakResidentKbOf(const std::string& path, const std::vector<std::string>& argv)
{
    std::vector<std::string> args = argv;
    std::vector<char*> pointers;
    pointers.reserve(args.size() + 1);
    for (std::string& arg : args) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    rusage usage = {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return usage.ru_maxrss;
}
