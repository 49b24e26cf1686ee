#include "x_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

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

void stopXServer(XServer* server)
{
    if (server->pid > 0) {
        kill(server->pid, SIGTERM);
        waitpid(server->pid, nullptr, 0);
    }
    server->pid = -1;
    server->display = -1;
}

std::string displayName(const XServer& server)
{
    return ":" + std::to_string(server.display);
}
