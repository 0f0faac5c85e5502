// Standard input as the line reader's byte source, on Windows.
#ifndef CHATPIPE_STANDARD_INPUT_H
#define CHATPIPE_STANDARD_INPUT_H

#include <windows.h>

#include "line_reader.h"

struct StandardInput {
    HANDLE handle;
    bool is_console;
    DWORD console_chars_per_read;  // so that one read fits a piece in the ANSI code page
    WCHAR held_high_surrogate;     // first half of a pair whose second half is not read yet
};

// False when the process has no standard input to read.
bool OpenStandardInput(StandardInput *input);

// A ReadPieceFn over a StandardInput.
PieceResult ReadStandardInput(void *input, char *piece, std::size_t capacity);

#endif
