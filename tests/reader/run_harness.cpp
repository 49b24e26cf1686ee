#include "run_harness.h"

#include <sstream>

reader::Options optionsFor(const std::vector<std::string>& files)
{
    reader::Options options;
    options.settings.mode = reader::Mode{1024, 768, 60};
    options.files = files;
    return options;
}

RunOutput run(const reader::Options& options, const reader::PhotoReader& read, bool sameDestination)
{
    std::ostringstream out;
    std::ostringstream err;
    RunOutput result;
    result.status = reader::runReader(options, out, err, sameDestination, read);
    result.out = out.str();
    result.err = err.str();
    return result;
}
