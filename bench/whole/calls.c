/* The price of one call to the Wine server, which every registry value, file
 * open, posted message and socket operation of a Windows program under Wine
 * pays: 20,000 reads of one registry value, timed; prints microseconds per read. */
#include <windows.h>
#include <stdio.h>

int main(void) {
    HKEY key;
    DWORD value = 1, size, type;
    LARGE_INTEGER frequency, start, end;
    int i;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\OrvantaBenchCalls", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return 1;
    RegSetValueExA(key, "v", 0, REG_DWORD, (const BYTE*)&value, sizeof value);
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (i = 0; i < 20000; i++) {
        size = sizeof value;
        RegQueryValueExA(key, "v", NULL, &type, (BYTE*)&value, &size);
    }
    QueryPerformanceCounter(&end);
    RegCloseKey(key);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\OrvantaBenchCalls");
    printf("%.1f\n", (double)(end.QuadPart - start.QuadPart) * 1e6 / (double)frequency.QuadPart / 20000);
    return 0;
}
