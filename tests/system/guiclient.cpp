// Stand-in for a running game client: stays alive until it is terminated.
#include <windows.h>

int main() {
    for (;;) Sleep(1000);
}
