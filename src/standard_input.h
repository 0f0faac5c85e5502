// Standard input as the line reader's byte source, on Windows.
#ifndef CHATPIPE_STANDARD_INPUT_H
#define CHATPIPE_STANDARD_INPUT_H

#include <windows.h>

#include "line_reader.h"

// A console is asked for a whole typed line at once: the classic console cuts
// a line at the size that the read asks for.  32 KiB of UTF-16 stays under
// the 64 KiB that older consoles allow one request.  Before Windows 8 that
// 64 KiB is a heap shared with the process's other console calls, and a
// request it cannot serve fails with ERROR_NOT_ENOUGH_MEMORY: chatpipe then
// asks again for half as much, down to a few lines' worth.  A shortage passes,
// so every read starts from the full size.
const DWORD CONSOLE_CHARS_PER_READ = 16384;
const DWORD MIN_CONSOLE_CHARS_PER_READ = 256;
// In the ANSI code page a UTF-16 unit takes at most three bytes (UTF-8; a
// surrogate pair takes four).
const std::size_t CONSOLE_TEXT_SIZE = 3 * CONSOLE_CHARS_PER_READ;

// How standard input is read, decided once when it is opened.
enum InputKind {
    INPUT_FILE,     // ReadFile until it gives nothing
    INPUT_PIPE,     // ReadFile until the pipe says it has ended
    INPUT_CONSOLE,  // ReadConsoleW, converted to the ANSI code page
};

struct StandardInput {
    HANDLE handle;
    InputKind kind;
    decltype(&ReadConsoleW) read_console;  // ReadConsoleW; another in tests
    CodePage code_page;  // the ANSI code page's characters, for the line reader
    WCHAR held_high_surrogate;  // first half of a pair whose second half is not read yet
    // The last console read in the ANSI code page, handed out a piece at a time.
    char console_text[CONSOLE_TEXT_SIZE];
    std::size_t console_next;
    std::size_t console_end;
};

// False when the process has no standard input to read.
bool OpenStandardInput(StandardInput *input);

// A ReadPieceFn over a StandardInput.
PieceResult ReadStandardInput(void *input, char *piece, std::size_t capacity);

#endif
