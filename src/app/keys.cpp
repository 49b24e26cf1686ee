#include "app/keys.h"

#include "app/shutdown.h"

void onKey(unsigned char key, int /*x*/, int /*y*/)
{
    if (key == KEY_ESCAPE || key == KEY_QUIT) {
        quitProgram(0);
    }
}
