#include "gl_trace.h"

#include <unistd.h>

#include "process.h"

namespace {

bool isBookkeeping(const std::string& name)
{
    return name == "glXMakeContextCurrent" || name == "glXMakeCurrent" || name == "glPushClientAttrib" ||
           name == "glPopClientAttrib" || name == "glPixelStorei";
}

// "123 glName(args) = result // comment" -> name and args.
bool parseLine(const std::string& line, GlCall* call)
{
    const size_t space = line.find(' ');
    const size_t open = line.find('(');
    if (space == std::string::npos || open == std::string::npos || open < space) {
        return false;
    }
    size_t end = line.find(" // ");
    end = line.rfind(')', end == std::string::npos ? std::string::npos : end);
    if (end == std::string::npos || end < open) {
        return false;
    }
    call->name = line.substr(space + 1, open - space - 1);
    call->args = line.substr(open + 1, end - open - 1);
    return true;
}

// Sorts one call into the frame being collected; true when it ends it.
bool addCall(const GlCall& call, GlFrame* frame)
{
    if (frame->calls.empty() && call.name != "glClear") {
        frame->preamble.push_back(call);
    } else {
        frame->calls.push_back(call);
    }
    return call.name == "glXSwapBuffers";
}

}  // namespace

bool readTrace(const std::string& traceFile, std::vector<GlFrame>* frames)
{
    // The dump of a second's run is too big to hold as text; read it as it comes.
    RunningProcess dump = startProcess(APITRACE_BINARY, {"apitrace", "dump", "--color=never", traceFile});
    frames->clear();
    GlFrame frame;
    std::string pending;
    char chunk[1 << 16];
    ssize_t n = 0;
    while ((n = read(dump.outFd, chunk, sizeof chunk)) > 0) {
        pending.append(chunk, static_cast<size_t>(n));
        size_t lineStart = 0;
        for (size_t newline = pending.find('\n'); newline != std::string::npos;
             newline = pending.find('\n', lineStart)) {
            GlCall call;
            if (parseLine(pending.substr(lineStart, newline - lineStart), &call) && !isBookkeeping(call.name) &&
                addCall(call, &frame)) {
                frames->push_back(std::move(frame));
                frame = GlFrame();
            }
            lineStart = newline + 1;
        }
        pending.erase(0, lineStart);
    }
    close(dump.outFd);
    dump.outFd = -1;
    const ProcessResult result = finishProcess(&dump, 60000);
    return result.exited && result.exitStatus == 0;
}

std::string callText(const GlCall& call)
{
    return call.name + "(" + call.args + ")";
}

std::vector<std::string> callTexts(const std::vector<GlCall>& calls, size_t begin, size_t count)
{
    std::vector<std::string> texts;
    for (size_t i = begin; i < begin + count && i < calls.size(); ++i) {
        texts.push_back(callText(calls[i]));
    }
    return texts;
}
