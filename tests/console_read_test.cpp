// Reading a console that cannot serve a request as large as chatpipe asks
// for, through a console read of the test's own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standard_input.h"

namespace {

DWORD largest_served;  // the most characters the console can serve in one read
DWORD error_for_larger;
std::vector<DWORD> requests;

// The last parameter's type differs between MinGW-w64's versions of ReadConsoleW.
template <typename Control>
BOOL WINAPI ReadTestConsole(HANDLE, LPVOID buffer, DWORD chars, LPDWORD got, Control)
{
    requests.push_back(chars);
    if (chars > largest_served) {
        SetLastError(error_for_larger);
        return FALSE;
    }
    const WCHAR typed[] = L"hi\r\n";
    std::copy(typed, typed + 4, static_cast<WCHAR *>(buffer));
    *got = 4;
    return TRUE;
}

TEST(ConsoleRead, AsksForLessWhileTheConsoleIsShortOfMemory)
{
    struct Case {
        const char *name;
        DWORD largest_served;
        DWORD error;
        std::vector<DWORD> requests;  // over two reads of a whole typed line
        bool read;
    };
    const Case cases[] = {
        {"serves all", CONSOLE_CHARS_PER_READ, ERROR_NOT_ENOUGH_MEMORY, {16384, 16384}, true},
        // Later reads start from what the console could serve.
        {"short of memory", 5000, ERROR_NOT_ENOUGH_MEMORY, {16384, 8192, 4096, 4096}, true},
        {"least", 256, ERROR_NOT_ENOUGH_MEMORY, {16384, 8192, 4096, 2048, 1024, 512, 256, 256}, true},
        {"not even the least", 255, ERROR_NOT_ENOUGH_MEMORY, {16384, 8192, 4096, 2048, 1024, 512, 256}, false},
        {"another failure", 5000, ERROR_INVALID_HANDLE, {16384}, false},
    };
    static StandardInput input;
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        input = StandardInput{};
        input.is_console = true;
        input.code_page = SINGLE_BYTE_CODE_PAGE;
        input.read_console = ReadTestConsole;
        input.console_chars_per_read = CONSOLE_CHARS_PER_READ;
        largest_served = test.largest_served;
        error_for_larger = test.error;
        requests.clear();
        char piece[READ_PIECE_SIZE];
        std::string text;
        for (int read = 0; read < 2; read++) {
            PieceResult result = ReadStandardInput(&input, piece, sizeof piece);
            if (result.outcome != PIECE_BYTES) {
                EXPECT_EQ(result.outcome, PIECE_FAILED);
                break;
            }
            text.append(piece, result.length);
        }
        EXPECT_EQ(requests, test.requests);
        EXPECT_EQ(text, test.read ? "hi\r\nhi\r\n" : "");
    }
}

}  // namespace
