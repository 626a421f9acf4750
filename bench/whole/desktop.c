/* Keeps the desktop up while the benchmark runs, as the shell does on a
 * player's machine. Without a program on it, Wine ends its desktop process a
 * moment after the last program has gone, and every run measured would pay
 * for starting it again (about half a second). Ends when killed. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    GetDesktopWindow();
    Sleep(INFINITE);
    return 0;
}
