// The text-input rules written the slow, obvious way, one byte at a time, as
// an independent check on the line reader.
#ifndef CHATPIPE_REFERENCE_LINES_H
#define CHATPIPE_REFERENCE_LINES_H

#include <algorithm>
#include <string>
#include <vector>

#include "line_reader.h"

// Shift-JIS (932) as GetCPInfo describes it, and UTF-8.
const CodePage SHIFT_JIS = {false, {0x81, 0x9F, 0xE0, 0xFC, 0, 0}};
const CodePage UTF8 = {true, {0}};

// Hands out its pieces in order, then its ending, and counts every read.  A
// read after the ending, or one that asks for less than the next piece, is a
// fault of the reader.
struct ScriptedSource {
    std::vector<std::string> pieces;
    PieceOutcome ending = PIECE_END;
    std::size_t reads = 0;
    std::size_t faults = 0;
};

inline PieceResult ReadScripted(void *context, char *piece, std::size_t capacity)
{
    ScriptedSource *source = static_cast<ScriptedSource *>(context);
    std::size_t index = source->reads++;
    if (index > source->pieces.size() || (index < source->pieces.size() && source->pieces[index].size() > capacity)) {
        source->faults++;
        return PieceResult{PIECE_FAILED, 0};
    }
    if (index == source->pieces.size())
        return PieceResult{source->ending, 0};
    const std::string &bytes = source->pieces[index];
    std::copy(bytes.begin(), bytes.end(), piece);
    return PieceResult{PIECE_BYTES, bytes.size()};
}

// How many bytes a character announces by its first byte.
inline std::size_t ReferenceCharacterLength(const CodePage &code_page, unsigned char byte)
{
    if (code_page.utf8)
        return byte >= 0xF0 && byte <= 0xF7 ? 4 : byte >= 0xE0 && byte <= 0xEF ? 3 : byte >= 0xC0 && byte <= 0xDF ? 2 : 1;
    for (std::size_t pair = 0; pair + 1 < sizeof code_page.lead_byte_ranges; pair += 2) {
        unsigned char first = code_page.lead_byte_ranges[pair], last = code_page.lead_byte_ranges[pair + 1];
        if (first == 0)
            break;
        if (byte >= first && byte <= last)
            return 2;
    }
    return 1;
}

// The lines that `bytes` make when the input then ends with `ending`, for a
// line buffer of `line_size` bytes.  Each character's first byte and how many
// bytes it still awaits are tracked as the line grows; a full line that ends
// inside a character (not its first) hands that character on to the next line.
inline std::vector<std::string> ReferenceLines(const std::string &bytes, PieceOutcome ending,
                                               std::size_t line_size,
                                               const CodePage &code_page = SINGLE_BYTE_CODE_PAGE)
{
    std::vector<std::string> lines;
    std::string line;
    bool after_full_line = false;
    bool ctrl_z = false;
    std::size_t character_start = 0, awaited = 0;
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
            awaited = 0;
            continue;
        }
        unsigned char value = static_cast<unsigned char>(byte);
        bool continues = awaited > 0 && (!code_page.utf8 || (value & 0xC0) == 0x80);
        if (continues) {
            awaited--;
        } else {
            character_start = line.size();
            awaited = ReferenceCharacterLength(code_page, value) - 1;
        }
        line += byte;
        if (line.size() == line_size - 1) {
            std::size_t cut = awaited > 0 && character_start > 0 ? character_start : line.size();
            lines.push_back(line.substr(0, cut));
            line.erase(0, cut);
            character_start = 0;
            after_full_line = line.empty();
        }
    }
    if (!line.empty() && (ctrl_z || ending != PIECE_FAILED))
        lines.push_back(line);
    return lines;
}

#endif
