#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "app/keys.h"
#include "app/outputs.h"
#include "app/shutdown.h"
#include "common/display_settings.h"
#include "render/frame.h"
#include "render/render_state.h"

namespace {

[[noreturn]] void exitWithUsage(const char* programName)
{
    // A caller may exec us with an empty argument vector: no name, or an empty one.
    const char* name = programName != nullptr && programName[0] != '\0' ? programName : "vesmira";
    // Nothing is left to tell if the console cannot be written to.
    (void)std::fprintf(stderr, "Usage: %s Width Height RefreshRate\n", name);
    (void)std::fprintf(stderr, "Example: %s 1024 768 60\n", name);
    std::exit(0);
}

[[noreturn]] void exitModeUnavailable()
{
    (void)std::fputs("The select mode is not available\n", stdout);
    std::exit(1);
}

// Wayland's compositor alone sets the mode: the desktop's own mode is drawn
// in a full-screen window, any other is refused with the reason.
void startOnWayland()
{
    if (!waylandShowsMode(displaySettings)) {
        exitModeUnavailable();
    }
    installSignalHandlers();
    glutCreateWindow("vesmira");
    glutFullScreen();
}

// GLUT's game mode switches the mode of one output only: where more show
// the screen, RandR sets it on each of them first, and every one is checked
// before anything is drawn.
void startInGameMode(DesktopKind desktop)
{
    const bool severalOutputs = desktop == DESKTOP_SEVERAL_OUTPUTS;
    if (severalOutputs && !outputsHaveMode(displaySettings)) {
        exitModeUnavailable();
    }
    if (glutGameModeGet(GLUT_GAME_MODE_POSSIBLE) == 0) {
        exitModeUnavailable();
    }
    installSignalHandlers();
    if (severalOutputs) {
        setOutputsMode();
    }
    glutEnterGameMode();
    if (severalOutputs && !outputsShowMode(displaySettings)) {
        (void)std::fputs("The select mode is not available\n", stdout);
        quitProgram(1);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // The count is checked before GLUT sees the display at all.
    if (argc != COMMAND_LINE_ARGC) {
        exitWithUsage(argv[0]);
    }
    // Read before glutInit takes the option out.
    const char* displayName = displayOption(argc, argv);
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);

    // glutInit may have taken its own options out, leaving too few numbers.
    if (!readDisplaySettings(argc, argv, &displaySettings)) {
        exitWithUsage(argv[0]);
    }
    char modeRequest[GAME_MODE_STRING_SIZE];
    if (!formatGameModeString(displaySettings, modeRequest, sizeof modeRequest)) {
        exitModeUnavailable();
    }
    glutGameModeString(modeRequest);
    const DesktopKind desktop = readOutputs(displayName);
    if (desktop == DESKTOP_WAYLAND) {
        startOnWayland();
    } else {
        startInGameMode(desktop);
    }
    initRenderState();
    glutDisplayFunc(renderFirstFrame);
    glutIdleFunc(renderFirstFrame);
    glutKeyboardFunc(onKey);
    glutReshapeFunc(onReshape);
    glutMainLoop();
    return 0;
}
