#include "reader_command.h"

namespace {

std::vector<std::string> withName(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"vesmira-read"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

ProcessResult runReader(const std::vector<std::string>& args)
{
    return runProcess(READER_BINARY, withName(args), {}, 300000);
}

long peakResidentKb(const std::vector<std::string>& args)
{
    return peakResidentKbOf(READER_BINARY, withName(args));
}
