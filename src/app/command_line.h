#pragma once

#include <cstddef>
#include <cstdint>

#include "common/display_settings.h"

// Program name plus Width, Height and RefreshRate.
constexpr int COMMAND_LINE_ARGC = 4;
// Room for the game-mode request string, terminator included.
constexpr std::size_t GAME_MODE_STRING_SIZE = 24;

// atoi's reading (leading white space, a sign, digits up to the first
// non-digit, 0 without digits), but clamped to the int32 range instead of
// overflowing.
int32_t readDecimal(const char* text);

// The display named by an -display option, which glutInit takes out of the
// vector; nullptr without one.
const char* displayOption(int argc, const char* const* argv);

// Fills all fields from argv[1..3]. False when argc is not exactly
// COMMAND_LINE_ARGC, e.g. after glutInit took options out of the vector.
bool readDisplaySettings(int argc, const char* const* argv, DisplaySettings* settings);

// Writes "WxH:BPP@RATE". False, with an empty string, when it does not fit.
bool formatGameModeString(const DisplaySettings& settings, char* out, std::size_t size);
