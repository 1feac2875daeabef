// Does nothing: the cost of starting and ending a process with the setup's runtime. Also the
// benchmark's stand-in installer, which exits at once.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}
