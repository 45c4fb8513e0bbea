// demo_target.cpp: the demo's target; sleeps the milliseconds it is given (default 10000), prints nothing.
#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

#include <cstdlib>

int main(int argc, char **argv) {
    const long ms = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
#ifdef _WIN32
    Sleep(static_cast<DWORD>(ms));
#else
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
    }
#endif
    return 0;
}
