#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "app/keys.h"
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

}  // namespace

int main(int argc, char** argv)
{
    // The count is checked before GLUT sees the display at all.
    if (argc != COMMAND_LINE_ARGC) {
        exitWithUsage(argv[0]);
    }
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
    if (glutGameModeGet(GLUT_GAME_MODE_POSSIBLE) == 0) {
        exitModeUnavailable();
    }

    installSignalHandlers();
    glutEnterGameMode();
    initRenderState();
    glutDisplayFunc(renderFirstFrame);
    glutIdleFunc(renderFirstFrame);
    glutKeyboardFunc(onKey);
    glutReshapeFunc(onReshape);
    glutMainLoop();
    return 0;
}
