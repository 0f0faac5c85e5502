#include "line_reader.h"

#include <cstring>

namespace {

const char LINE_FEED = '\n';
const char CARRIAGE_RETURN = '\r';
const char CTRL_Z = '\x1A';

// memchr over [from, to), or `to` when `byte` is not there.
const char *Find(const char *from, const char *to, char byte)
{
    const void *found = std::memchr(from, byte, static_cast<std::size_t>(to - from));
    return found != nullptr ? static_cast<const char *>(found) : to;
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

    for (;;) {
        if (reader->next == reader->end && !FillPiece(reader, &failed))
            break;
        const char *next = reader->piece + reader->next;
        const char *end = reader->piece + reader->end;

        // The LF that ends a line which exactly filled the buffer belongs to
        // that line; it must not show up as an empty line of its own.
        if (reader->after_full_line) {
            while (next < end && *next == CARRIAGE_RETURN)
                next++;
            if (next == end) {
                reader->next = reader->end;
                continue;
            }
            reader->after_full_line = false;
            if (*next == LINE_FEED)
                next++;
        }

        const char *line_feed = Find(next, end, LINE_FEED);
        const char *stop = Find(next, line_feed, CTRL_Z);
        while (next < stop && length < capacity) {
            const char *run_end = Find(next, stop, CARRIAGE_RETURN);
            std::size_t run = static_cast<std::size_t>(run_end - next);
            if (run > capacity - length)
                run = capacity - length;
            std::memcpy(line + length, next, run);
            length += run;
            next += run;
            if (next == run_end && run_end < stop)
                next++;  // the CR itself
        }
        reader->next = static_cast<std::size_t>(next - reader->piece);

        if (length == capacity) {  // a full buffer is a line: hand it on now
            reader->after_full_line = true;
            EndLine(reader, line, length);
            return true;
        }
        if (stop < line_feed) {  // Ctrl-Z: nothing after it counts
            reader->input_over = true;
            reader->next = reader->end;
            break;
        }
        if (line_feed < end) {
            reader->next++;
            EndLine(reader, line, length);
            return true;
        }
    }

    // The input is over: an unfinished line still counts, unless a failed
    // read may have swallowed part of it.
    if (failed)
        length = 0;
    EndLine(reader, line, length);
    return length > 0;
}
