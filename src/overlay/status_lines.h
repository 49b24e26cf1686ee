#pragma once

#include <cstddef>

#include "common/display_settings.h"

// Fits the longest line, the settings line with every number at INT32_MIN
// (61 characters), and its terminator.
constexpr std::size_t STATUS_LINE_SIZE = 64;

inline constexpr char STATUS_TITLE[] = "Vesmira";

// Each writes one status line into out, cut to size if it must be.
void formatFpsLine(char* out, std::size_t size, float averageFps);
void formatSettingsLine(char* out, std::size_t size, const DisplaySettings& settings);
