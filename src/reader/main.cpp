#include <cstdio>

int main()
{
    (void)std::fputs("usage: vesmira-read [--json] [--reference left|right|top|bottom] [--annotate DIR] WIDTH HEIGHT RATE PHOTO...\n", stderr);
    return 2;
}
