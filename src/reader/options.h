#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/types.h"

namespace reader {

// The largest mode accepted: beyond any display, and a bound on what a
// rectified screen may cost in memory.
constexpr int MAX_MODE_SIDE = 16384;

// What the command line asks for.
struct Options {
    bool json = false;
    // Where the annotated pictures go; empty when none are wanted.
    std::string annotateDir;
    ReadSettings settings;
    // The photos, as given.
    std::vector<std::string> files;
};

struct CommandLine {
    enum class Action { Read, ShowHelp, UsageError };
    Action action = Action::UsageError;
    Options options;
    // For a usage error: what was wrong, one line without the program name.
    std::string error;
};

// Reads the arguments after the program name. Options may come before or
// between the positional arguments; "--" ends them, so a photo whose name
// starts with '-' can be given; "--name=value" works as "--name value".
CommandLine parseCommandLine(const std::vector<std::string>& args);

// A positive decimal integer and nothing else: no sign, no spaces, no
// trailing text, no overflow.
std::optional<int> parsePositiveInt(std::string_view text);

// The synopsis and a pointer to --help, for usage errors.
std::string usageText();
// The synopsis and what each argument means, for --help.
std::string helpText();

}  // namespace reader
