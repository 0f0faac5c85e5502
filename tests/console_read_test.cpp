// Reading a console through a console read of the test's own: one that cannot
// serve a request as large as chatpipe asks for, and one that cuts a typed
// line where the request ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "standard_input.h"

namespace {

// The test console: the lines typed into it, and for each the most
// characters it can serve in one read while that line is being read.
std::vector<std::wstring> typed;
std::vector<DWORD> largest_served;
DWORD error_for_larger;
std::size_t line_being_read;
std::size_t next_char;  // in typed[line_being_read]
std::vector<DWORD> requests;

// The last parameter's type differs between MinGW-w64's versions of ReadConsoleW.
template <typename Control>
BOOL WINAPI ReadTestConsole(HANDLE, LPVOID buffer, DWORD chars, LPDWORD got, Control)
{
    requests.push_back(chars);
    if (line_being_read == typed.size()) {
        *got = 0;  // as at Ctrl+C: the test reads no further than what was typed
        return TRUE;
    }
    if (chars > largest_served[line_being_read]) {
        SetLastError(error_for_larger);
        return FALSE;
    }
    // Like a real console, it hands over what fits and keeps the rest of the
    // line for the next read.
    const std::wstring &line = typed[line_being_read];
    std::size_t count = std::min<std::size_t>(chars, line.size() - next_char);
    line.copy(static_cast<WCHAR *>(buffer), count, next_char);
    next_char += count;
    if (next_char == line.size()) {
        line_being_read++;
        next_char = 0;
    }
    *got = static_cast<DWORD>(count);
    return TRUE;
}

TEST(ConsoleRead, ReadsWhatWasTypedAsAnsiText)
{
    const std::wstring hi = L"hi\r\n";
    const std::wstring long_line = std::wstring(10000, L'x') + L"\r\n";
    // U+1F600 as a surrogate pair whose second half falls in the next read.
    const std::wstring split_pair = std::wstring(CONSOLE_CHARS_PER_READ - 1, L'x') + L"\U0001F600\r\n";
    const std::string long_text = std::string(10000, 'x') + "\r\n";
    struct Case {
        const char *name;
        UINT code_page;  // the ANSI code page the case needs; 0 for any
        std::vector<std::wstring> typed;
        std::vector<DWORD> largest_served;  // for each typed line
        DWORD error;
        std::vector<DWORD> requests;
        std::string text;  // what the reads return, up to the first that fails or ends
    };
    const Case cases[] = {
        {"serves all", 0, {hi, hi}, {CONSOLE_CHARS_PER_READ, CONSOLE_CHARS_PER_READ}, 0, {16384, 16384, 16384},
         "hi\r\nhi\r\n"},
        // A request the console cannot serve is made again for half as much;
        // the next line's read asks for the full size again.
        {"short of memory", 0, {hi, hi}, {5000, 5000}, ERROR_NOT_ENOUGH_MEMORY,
         {16384, 8192, 4096, 16384, 8192, 4096, 16384}, "hi\r\nhi\r\n"},
        {"short of memory, then a long line", 0, {hi, long_line}, {5000, CONSOLE_CHARS_PER_READ},
         ERROR_NOT_ENOUGH_MEMORY, {16384, 8192, 4096, 16384, 16384}, "hi\r\n" + long_text},
        {"least", 0, {hi}, {256}, ERROR_NOT_ENOUGH_MEMORY, {16384, 8192, 4096, 2048, 1024, 512, 256, 16384},
         "hi\r\n"},
        {"not even the least", 0, {hi}, {255}, ERROR_NOT_ENOUGH_MEMORY,
         {16384, 8192, 4096, 2048, 1024, 512, 256}, ""},
        {"another failure", 0, {hi}, {5000}, ERROR_INVALID_HANDLE, {16384}, ""},
        // The first half of the pair is held back for the next read, where
        // the second half joins it as one character of four bytes.
        {"surrogate pair split between reads", CP_UTF8, {split_pair}, {CONSOLE_CHARS_PER_READ}, 0,
         {16384, 16383, 16384}, std::string(CONSOLE_CHARS_PER_READ - 1, 'x') + "\xF0\x9F\x98\x80\r\n"},
    };
    // The UTF-8 cases run where ctest gives the process that code page, and
    // it says so, so that they cannot be skipped unnoticed.
    const char *expected_code_page = std::getenv("CHATPIPE_EXPECT_ACP");
    if (expected_code_page != nullptr) {
        ASSERT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected_code_page)));
    }
    static StandardInput input;
    for (const Case &test : cases) {
        if (test.code_page != 0 && test.code_page != GetACP())
            continue;
        SCOPED_TRACE(test.name);
        input = StandardInput{};
        input.kind = INPUT_CONSOLE;
        input.code_page = SINGLE_BYTE_CODE_PAGE;
        input.code_page.utf8 = GetACP() == CP_UTF8;
        input.read_console = ReadTestConsole;
        typed = test.typed;
        largest_served = test.largest_served;
        error_for_larger = test.error;
        line_being_read = next_char = 0;
        requests.clear();
        char piece[READ_PIECE_SIZE];
        std::string text;
        for (;;) {
            PieceResult result = ReadStandardInput(&input, piece, sizeof piece);
            if (result.outcome != PIECE_BYTES) {
                EXPECT_EQ(result.outcome, line_being_read == typed.size() ? PIECE_END : PIECE_FAILED);
                break;
            }
            text.append(piece, result.length);
        }
        EXPECT_EQ(requests, test.requests);
        // Where the text parts from what was expected, not all 16 KiB of it.
        std::size_t at = static_cast<std::size_t>(
            std::mismatch(text.begin(), text.end(), test.text.begin(), test.text.end()).first - text.begin());
        EXPECT_TRUE(text == test.text) << "from byte " << at << ": "
                                       << testing::PrintToString(text.substr(at, 16)) << ", expected "
                                       << testing::PrintToString(test.text.substr(at, 16));
    }
}

}  // namespace
