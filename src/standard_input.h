// Standard input as the line reader's byte source, on Windows.
#ifndef CHATPIPE_STANDARD_INPUT_H
#define CHATPIPE_STANDARD_INPUT_H

#include <windows.h>

#include "line_reader.h"

// A ReadPieceFn over the HANDLE that `input` points to.
PieceResult ReadStandardInput(void *input, char *piece, std::size_t capacity);

#endif
