#include "line_reader.h"

#include <cstdint>
#include <cstring>

namespace {

const char LINE_FEED = '\n';
const char CARRIAGE_RETURN = '\r';
const char CTRL_Z = '\x1A';

bool IsSpecial(char byte)
{
    return byte == LINE_FEED || byte == CARRIAGE_RETURN || byte == CTRL_Z;
}

const std::uint64_t ONES = 0x0101010101010101u;
const std::uint64_t HIGH_BITS = 0x8080808080808080u;

// Non-zero when one of the eight bytes in `word` is `byte`.
std::uint64_t HasByte(std::uint64_t word, char byte)
{
    std::uint64_t differences = word ^ (ONES * static_cast<unsigned char>(byte));
    return (differences - ONES) & ~differences & HIGH_BITS;
}

// The first LF, CR or Ctrl-Z in [from, to), or `to`.  Every input byte passes
// through here, so it skips eight at a time.
const char *FindSpecial(const char *from, const char *to)
{
    for (; to - from >= 8; from += 8) {
        std::uint64_t word;
        std::memcpy(&word, from, sizeof word);
        if (HasByte(word, LINE_FEED) | HasByte(word, CARRIAGE_RETURN) | HasByte(word, CTRL_Z))
            break;
    }
    while (from < to && !IsSpecial(*from))
        from++;
    return from;
}

// Refills an exhausted piece.  Returns false once the input is over, and
// sets *failed when it ended in a read failure.
bool FillPiece(LineReader *reader, bool *failed)
{
    if (reader->input_over)
        return false;
    PieceResult result = reader->read_piece(reader->source, reader->piece, READ_PIECE_SIZE);
    switch (result.outcome) {
    case PIECE_BYTES:
        if (result.length == 0 || result.length > READ_PIECE_SIZE)
            break;  // a source that breaks its word is a failed source
        reader->next = 0;
        reader->end = result.length;
        return true;
    case PIECE_END:
    case PIECE_BROKEN_PIPE:
        reader->input_over = true;
        return false;
    case PIECE_FAILED:
        break;
    }
    reader->input_over = true;
    *failed = true;
    return false;
}

void EndLine(LineReader *reader, char *line, std::size_t length)
{
    reader->line_length = length;
    line[length] = '\0';
}

}  // namespace

void StartLineReader(LineReader *reader, ReadPieceFn read_piece, void *source)
{
    reader->read_piece = read_piece;
    reader->source = source;
    reader->next = 0;
    reader->end = 0;
    reader->input_over = false;
    reader->after_full_line = false;
    reader->line_length = 0;
}

bool ReadLine(LineReader *reader, char *line, std::size_t line_size)
{
    const std::size_t capacity = line_size - 1;
    std::size_t length = 0;
    bool failed = false;

    while (reader->next < reader->end || FillPiece(reader, &failed)) {
        const char *next = reader->piece + reader->next;
        const char *end = reader->piece + reader->end;

        // The LF that ends a line which exactly filled the buffer belongs to
        // that line; it must not show up as an empty line of its own.
        if (reader->after_full_line) {
            while (next < end && *next == CARRIAGE_RETURN)
                next++;
            if (next < end) {
                reader->after_full_line = false;
                if (*next == LINE_FEED)
                    next++;
            }
        }

        while (next < end) {
            const char *special = FindSpecial(next, end);
            std::size_t run = static_cast<std::size_t>(special - next);
            if (run > capacity - length)
                run = capacity - length;
            std::memcpy(line + length, next, run);
            length += run;
            next += run;
            if (length == capacity) {  // a full buffer is a line: hand it on now
                reader->next = static_cast<std::size_t>(next - reader->piece);
                reader->after_full_line = true;
                EndLine(reader, line, length);
                return true;
            }
            if (next == end)
                break;
            char byte = *next++;
            if (byte == LINE_FEED) {
                reader->next = static_cast<std::size_t>(next - reader->piece);
                EndLine(reader, line, length);
                return true;
            }
            if (byte == CTRL_Z) {  // nothing after it counts, nor is read
                reader->input_over = true;
                end = next;
                break;
            }
        }
        reader->next = reader->end = static_cast<std::size_t>(end - reader->piece);
    }

    // The input is over: an unfinished line still counts, unless a failed
    // read may have swallowed part of it.
    if (failed)
        length = 0;
    EndLine(reader, line, length);
    return length > 0;
}
