// The Windows GUI process entry.
#include "main/startup.h"

#include <windows.h>

// The arguments are not used: start-up reads the whole command line itself.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return StartUp();
}
