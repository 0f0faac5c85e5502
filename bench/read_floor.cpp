// The floor for reading: standard input read with ReadFile in 512-byte pieces
// and one FindWindowA call per line feed, nothing else.
#include <windows.h>

#include <cstring>

#include "chat_window.h"

int main()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char piece[512];
    DWORD got;
    while (ReadFile(input, piece, sizeof piece, &got, nullptr) && got > 0) {
        const char *next = piece;
        const char *end = piece + got;
        while (const void *line_feed = std::memchr(next, '\n', static_cast<std::size_t>(end - next))) {
            FindWindowA(CHAT_WINDOW_CLASS, nullptr);
            next = static_cast<const char *>(line_feed) + 1;
        }
    }
    return 0;
}
