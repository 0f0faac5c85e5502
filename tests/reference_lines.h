// The text-input rules written the slow, obvious way, one byte at a time, as
// an independent check on the line reader.
#ifndef CHATPIPE_REFERENCE_LINES_H
#define CHATPIPE_REFERENCE_LINES_H

#include <string>
#include <vector>

#include "line_reader.h"

// The lines that `bytes` make when the input then ends with `ending`, for a
// line buffer of `line_size` bytes.
inline std::vector<std::string> ReferenceLines(const std::string &bytes, PieceOutcome ending,
                                               std::size_t line_size)
{
    std::vector<std::string> lines;
    std::string line;
    bool after_full_line = false;
    bool ctrl_z = false;
    for (char byte : bytes) {
        if (byte == '\r')
            continue;
        if (byte == '\x1A') {
            ctrl_z = true;
            break;
        }
        if (after_full_line) {
            after_full_line = false;
            if (byte == '\n')
                continue;
        }
        if (byte == '\n') {
            lines.push_back(line);
            line.clear();
            continue;
        }
        line += byte;
        if (line.size() == line_size - 1) {
            lines.push_back(line);
            line.clear();
            after_full_line = true;
        }
    }
    if (!line.empty() && (ctrl_z || ending != PIECE_FAILED))
        lines.push_back(line);
    return lines;
}

#endif
