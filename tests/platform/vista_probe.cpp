// Imports a function that Windows XP lacks, so the import check can show that
// it catches one.
#include <windows.h>

int main() {
    return static_cast<int>(GetTickCount64() & 1);
}
