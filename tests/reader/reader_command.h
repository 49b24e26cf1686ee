#pragma once

#include <string>
#include <vector>

#include "process.h"

// The real vesmira-read run with these arguments (after its name), its
// output captured; killed after five minutes.
ProcessResult runReader(const std::vector<std::string>& args);

// Its peak resident memory over such a run, kB; -1 when it did not run.
long peakResidentKb(const std::vector<std::string>& args);
