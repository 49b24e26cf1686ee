#pragma once

#include <array>
#include <string>
#include <vector>

#include "reader/run.h"

// The outlines a video's earlier frame passes to the reading of the next.
using Known = const reader::KnownScreens*;

// Options reading these files in a 1024x768 mode at 60 Hz.
reader::Options optionsFor(const std::vector<std::string>& files);

struct RunOutput {
    int status = -1;
    std::string out;
    std::string err;
};

// The whole run, with read standing in for the vision stages, its output
// kept.
RunOutput run(const reader::Options& options, const reader::PhotoReader& read, bool sameDestination = false);
