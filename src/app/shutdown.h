#pragma once

// Every way out once the display is in the test mode goes through here, so
// the desktop mode always comes back: GLUT leaves game mode, every output
// set through RandR gets its own mode back, then the process exits with the
// status.
[[noreturn]] void quitProgram(int status);

// Every catchable signal whose default action ends the process, other than
// those reporting a fault of the process itself, only records the signal;
// the next frame acts on it through endIfSignalled, outside the handler.
void installSignalHandlers();

// If a signal was recorded: leaves game mode, then ends with 128 + the
// signal number, or for SIGQUIT by the signal itself.
void endIfSignalled();
