#include "x_client.h"
#include <cstdio>
int main(int argc, char**) { Display* d = openDisplay(); ModeSize m = currentMode(d); std::printf("mode %dx%d\n", m.width, m.height); if (argc > 1) switchToMode(d, 1920, 1080); }
