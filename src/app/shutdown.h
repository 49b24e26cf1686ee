#pragma once

// Every way out once the display is in the test mode goes through here, so
// the desktop mode always comes back: GLUT leaves game mode, then the
// process exits with the status.
[[noreturn]] void quitProgram(int status);

// SIGINT, SIGTERM and SIGHUP only record the signal; the next frame acts on
// it through endIfSignalled, outside the handler.
void installSignalHandlers();

// Ends the program with 128 + the signal number if one was recorded.
void endIfSignalled();
