// Stand-in for a running game client: sleeps until it is killed.
#include <windows.h>
int main() {
    Sleep(60000);
    return 0;
}
