#pragma once

#include "common/display_settings.h"

// What the X server's outputs say about how the mode can be set.
enum DesktopKind {
    // One output, or no RandR 1.2: GLUT's game mode alone switches it.
    DESKTOP_SINGLE_OUTPUT,
    // More than one output shows the screen: GLUT's mode switch reaches
    // none of them, so every one is set through RandR.
    DESKTOP_SEVERAL_OUTPUTS,
    // XWayland: only the Wayland compositor sets the mode.
    DESKTOP_WAYLAND,
};

// Opens a connection of its own to the display (nullptr: $DISPLAY) and
// remembers every active output and the mode it shows. Kept open, so the
// modes can be given back on the way out.
DesktopKind readOutputs(const char* displayName);

// Whether every active output has the mode; if one has not, says which on
// standard error. Changes nothing.
bool outputsHaveMode(const DisplaySettings& settings);

// Puts every active output into the mode found by outputsHaveMode, all at
// the screen's top-left corner, where the picture is drawn.
void setOutputsMode();

// Whether every active output shows the mode now; if one does not, says on
// standard error what it shows.
bool outputsShowMode(const DisplaySettings& settings);

// Whether the Wayland desktop already shows the mode; if not, says why on
// standard error and what to do.
bool waylandShowsMode(const DisplaySettings& settings);

// Gives every output set by setOutputsMode its own mode and position back;
// nothing when none was set.
void restoreOutputs();
