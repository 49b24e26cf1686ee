// clear-swap WxH:BPP@RATE — the least a GLUT game-mode program can do per
// frame: clear and swap. The benchmark's yardstick for vesmira.
#include <GL/freeglut.h>

#include <cstdlib>

namespace {

void frame()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glutSwapBuffers();
}

void key(unsigned char pressed, int /*x*/, int /*y*/)
{
    if (pressed == 'q') {
        std::exit(0);  // NOLINT(concurrency-mt-unsafe)
    }
}

}  // namespace

int main(int argc, char** argv)
{
    glutInit(&argc, argv);
    if (argc != 2) {
        return 2;
    }
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
    glutGameModeString(argv[1]);
    if (glutGameModeGet(GLUT_GAME_MODE_POSSIBLE) == 0) {
        return 1;
    }
    glutEnterGameMode();
    glutDisplayFunc(frame);
    glutIdleFunc(frame);
    glutKeyboardFunc(key);
    glutMainLoop();
    return 0;
}
