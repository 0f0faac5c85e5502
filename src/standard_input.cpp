#include "standard_input.h"

// ReadFile straight on the handle: the line reader does its own CR and Ctrl-Z
// handling, so no C runtime text mode may get there first.
PieceResult ReadStandardInput(void *input, char *piece, std::size_t capacity)
{
    HANDLE handle = *static_cast<HANDLE *>(input);
    DWORD got = 0;
    if (!ReadFile(handle, piece, static_cast<DWORD>(capacity), &got, NULL)) {
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
