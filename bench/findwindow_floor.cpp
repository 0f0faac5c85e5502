// The floor for dropped lines: the given number of FindWindowA calls for the
// chat window's class, and nothing else.
#include <windows.h>

#include <cstdlib>

#include "chat_window.h"

int main(int argc, char **argv)
{
    long calls = argc > 1 ? std::atol(argv[1]) : 0;
    for (long i = 0; i < calls; i++)
        FindWindowA(CHAT_WINDOW_CLASS, nullptr);
    return 0;
}
