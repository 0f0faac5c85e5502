#include "standard_input.h"

bool OpenStandardInput(StandardInput *input)
{
    input->handle = GetStdHandle(STD_INPUT_HANDLE);
    if (input->handle == NULL || input->handle == INVALID_HANDLE_VALUE)
        return false;
    input->is_pipe = GetFileType(input->handle) == FILE_TYPE_PIPE;
    return true;
}

// ReadFile straight on the handle: the line reader does its own CR and Ctrl-Z
// handling, so no C runtime text mode may get there first.
PieceResult ReadStandardInput(void *source, char *piece, std::size_t capacity)
{
    StandardInput *input = static_cast<StandardInput *>(source);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(input->handle, piece, static_cast<DWORD>(capacity), &got, NULL)) {
            // The writer closing a pipe is how a pipe ends; the bytes before it
            // are as good as those before the end of a file.
            if (GetLastError() == ERROR_BROKEN_PIPE)
                return PieceResult{PIECE_BROKEN_PIPE, 0};
            return PieceResult{PIECE_FAILED, 0};
        }
        if (got > 0)
            return PieceResult{PIECE_BYTES, got};
        // A pipe reports its end as ERROR_BROKEN_PIPE; a successful read of
        // nothing from one is a writer's zero-byte write, not the end.
        if (!input->is_pipe)
            return PieceResult{PIECE_END, 0};
    }
}
