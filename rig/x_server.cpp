#include "x_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "process.h"

XServer startXServer(const std::string& configPath, const std::string& logPath)
{
    int displayPipe[2];
    if (pipe(displayPipe) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // The server must not outlive a test program that dies early.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, STDIN_FILENO);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        close(displayPipe[0]);
        const std::string fd = std::to_string(displayPipe[1]);
        execlp("Xorg", "Xorg", "-config", configPath.c_str(), "-logfile", logPath.c_str(), "-noreset", "-nolisten",
               "tcp", "-displayfd", fd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(displayPipe[1]);
    XServer server;
    server.pid = pid;
    // Xorg writes the display number, then a newline, once it accepts
    // clients; closing the pipe before the newline arrives makes it quit.
    std::string text;
    char c = 0;
    pollfd ready = {displayPipe[0], POLLIN, 0};
    while (poll(&ready, 1, 20000) == 1 && read(displayPipe[0], &c, 1) == 1 && c != '\n') {
        text += c;
    }
    if (c == '\n' && !text.empty()) {
        server.display = std::stoi(text);
    }
    close(displayPipe[0]);
    return server;
}

XServer startWestonXWayland(const std::string& westonPath, const std::string& logPath, int width, int height)
{
    XServer server;
    char runtimeDir[] = "/tmp/vesmira-weston-XXXXXX";
    if (mkdtemp(runtimeDir) == nullptr) {
        return server;
    }
    server.runtimeDir = runtimeDir;
    (void)std::remove(logPath.c_str());
    const std::string widthOption = "--width=" + std::to_string(width);
    const std::string heightOption = "--height=" + std::to_string(height);
    const std::string logOption = "--log=" + logPath;
    server.pid = fork();
    if (server.pid == 0) {
        // Weston, and so its XWayland, must not outlive the test program.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, STDIN_FILENO);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        setenv("XDG_RUNTIME_DIR", runtimeDir, 1);
        execl(westonPath.c_str(), "weston", "--backend=headless-backend.so", "--xwayland", "--no-config",
              "--idle-time=0", widthOption.c_str(), heightOption.c_str(), logOption.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    if (server.pid < 0) {
        return server;
    }
    // XWayland itself starts at the first client; weston names its display
    // as soon as it listens there.
    const std::string listening = "xserver listening on display :";
    std::string log;
    waitUntil(
        [&] {
            std::ifstream file(logPath);
            std::stringstream text;
            text << file.rdbuf();
            log = text.str();
            return log.find(listening) != std::string::npos || hasEnded(server.pid);
        },
        20000);
    const size_t at = log.find(listening);
    if (at != std::string::npos) {
        server.display = static_cast<int>(std::strtol(log.c_str() + at + listening.size(), nullptr, 10));
    }
    return server;
}

void stopXServer(XServer* server)
{
    if (server->pid > 0) {
        kill(server->pid, SIGTERM);
        waitpid(server->pid, nullptr, 0);
    }
    if (!server->runtimeDir.empty()) {
        // weston's socket and its lock file.
        for (const char* name : {"/wayland-0", "/wayland-0.lock"}) {
            (void)std::remove((server->runtimeDir + name).c_str());
        }
        (void)rmdir(server->runtimeDir.c_str());
        server->runtimeDir.clear();
    }
    server->pid = -1;
    server->display = -1;
}

std::string displayName(const XServer& server)
{
    return ":" + std::to_string(server.display);
}
