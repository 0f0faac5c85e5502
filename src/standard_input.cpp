#include "standard_input.h"

namespace {

const DWORD CONSOLE_CHARS_PER_READ = READ_PIECE_SIZE / 2;

// A console hands ReadFile its text in the console's (OEM) code page, but a
// line is ANSI text: read the console as UTF-16 and convert it ourselves,
// without touching the console's code page or mode.
PieceResult ReadConsoleText(StandardInput *input, char *piece, std::size_t capacity)
{
    WCHAR text[CONSOLE_CHARS_PER_READ];
    for (;;) {
        DWORD count = 0;
        if (input->held_high_surrogate != 0) {
            text[count++] = input->held_high_surrogate;
            input->held_high_surrogate = 0;
        }
        DWORD got = 0;
        if (!ReadConsoleW(input->handle, text + count, input->console_chars_per_read - count, &got, NULL))
            return PieceResult{PIECE_FAILED, 0};
        if (got == 0)  // how some consoles report Ctrl-Z typed at the start of a line
            return PieceResult{PIECE_END, 0};
        count += got;
        if (IS_HIGH_SURROGATE(text[count - 1]))
            input->held_high_surrogate = text[--count];
        if (count == 0)
            continue;
        int bytes = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(count), piece,
                                        static_cast<int>(capacity), NULL, NULL);
        if (bytes <= 0)
            return PieceResult{PIECE_FAILED, 0};
        return PieceResult{PIECE_BYTES, static_cast<std::size_t>(bytes)};
    }
}

}  // namespace

bool OpenStandardInput(StandardInput *input)
{
    input->handle = GetStdHandle(STD_INPUT_HANDLE);
    if (input->handle == NULL || input->handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD mode;
    input->is_console = GetFileType(input->handle) == FILE_TYPE_CHAR && GetConsoleMode(input->handle, &mode);
    CPINFO code_page;
    UINT bytes_per_char = GetCPInfo(CP_ACP, &code_page) ? code_page.MaxCharSize : 4;
    input->console_chars_per_read = CONSOLE_CHARS_PER_READ;
    if (input->console_chars_per_read > READ_PIECE_SIZE / bytes_per_char)
        input->console_chars_per_read = READ_PIECE_SIZE / bytes_per_char;
    input->held_high_surrogate = 0;
    return true;
}

// Pipes and files: ReadFile straight on the handle, so their bytes arrive as
// they are; the line reader does its own CR and Ctrl-Z handling, so no C
// runtime text mode may get there first.
PieceResult ReadStandardInput(void *source, char *piece, std::size_t capacity)
{
    StandardInput *input = static_cast<StandardInput *>(source);
    if (input->is_console)
        return ReadConsoleText(input, piece, capacity);

    DWORD got = 0;
    if (!ReadFile(input->handle, piece, static_cast<DWORD>(capacity), &got, NULL)) {
        // The writer closing a pipe is how a pipe ends; the bytes before it
        // are as good as those before the end of a file.
        if (GetLastError() == ERROR_BROKEN_PIPE)
            return PieceResult{PIECE_BROKEN_PIPE, 0};
        return PieceResult{PIECE_FAILED, 0};
    }
    if (got == 0)
        return PieceResult{PIECE_END, 0};
    return PieceResult{PIECE_BYTES, got};
}
