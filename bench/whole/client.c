/* The game client's stand-in: appends the moment it was started (seconds
 * since 1970, system time) to started.txt in its working folder and ends. */
#include <windows.h>
#include <stdio.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    FILETIME now;
    ULARGE_INTEGER ticks;
    FILE* out;
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    GetSystemTimePreciseAsFileTime(&now);
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    out = fopen("started.txt", "a");
    if (!out) return 1;
    /* 100 ns steps since 1601 to seconds since 1970. */
    fprintf(out, "%.6f\n", (double)(ticks.QuadPart - 116444736000000000ULL) / 1e7);
    fclose(out);
    return 0;
}
