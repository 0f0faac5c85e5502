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

// How many bytes a UTF-8 character has, from its first byte.
std::size_t Utf8Length(unsigned char lead)
{
    return lead >= 0xC0 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF7 ? 4 : 1;
}

// Where a full line of `length` bytes ends once a last character that does
// not fit whole is left for the next line.  Never 0: a line that is one
// unfinished character is handed on as it is rather than not at all.
std::size_t LastCharacterBoundary(const LineReader *reader, const char *line, std::size_t length)
{
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(line);
    std::size_t start = length;
    if (reader->utf8) {
        // Back over continuation bytes to the first byte of the last character.
        while (start > 0 && length - start < MAX_CHARACTER_TAIL && (bytes[start - 1] & 0xC0) == 0x80)
            start--;
        if (start == 0)
            return length;
        start--;
        if (length - start >= Utf8Length(bytes[start]))
            return length;
    } else {
        // A trail byte can look like a lead byte: only a scan from the start
        // of the line tells which a byte is.
        std::size_t at = 0;
        while (at < length) {
            start = at;
            at += reader->lead_byte[bytes[at]] ? 2 : 1;
        }
        if (at == length)
            return length;
    }
    return start > 0 ? start : length;
}

// The start of a line: the bytes of a character that did not fit at the end
// of the last one.
std::size_t TakeCarried(LineReader *reader, char *line)
{
    std::size_t length = reader->carried_length;
    std::memcpy(line, reader->carried, length);
    reader->carried_length = 0;
    return length;
}

// The LF that ends a line which exactly filled the buffer belongs to that
// line; it must not show up as an empty line of its own.
const char *SkipLineFeedOfFullLine(LineReader *reader, const char *next, const char *end)
{
    while (next < end && *next == CARRIAGE_RETURN)
        next++;
    if (next < end) {
        reader->after_full_line = false;
        if (*next == LINE_FEED)
            next++;
    }
    return next;
}

// A full buffer is a line, handed on now, cut after its last whole
// character; the bytes of a character cut off start the next line.
std::size_t CutFullLine(LineReader *reader, char *line, std::size_t length)
{
    std::size_t cut = LastCharacterBoundary(reader, line, length);
    reader->carried_length = length - cut;
    std::memcpy(reader->carried, line + cut, reader->carried_length);
    // The LF after a full line ends it, unless the line goes on with the
    // carried bytes.
    reader->after_full_line = reader->carried_length == 0;
    line[cut] = '\0';
    return cut;
}

}  // namespace

void StartLineReader(LineReader *reader, ReadPieceFn read_piece, void *source, const CodePage *code_page)
{
    reader->utf8 = code_page->utf8;
    std::memset(reader->lead_byte, 0, sizeof reader->lead_byte);
    const unsigned char *ranges = code_page->lead_byte_ranges;
    for (std::size_t pair = 0; pair + 1 < sizeof code_page->lead_byte_ranges && ranges[pair] != 0; pair += 2)
        for (unsigned byte = ranges[pair]; byte <= ranges[pair + 1]; byte++)
            reader->lead_byte[byte] = true;
    reader->carried_length = 0;
    reader->read_piece = read_piece;
    reader->source = source;
    reader->next = 0;
    reader->end = 0;
    reader->input_over = false;
    reader->after_full_line = false;
}

std::size_t ReadLine(LineReader *reader, char *line, std::size_t line_size)
{
    const std::size_t capacity = line_size - 1;
    std::size_t length = TakeCarried(reader, line);
    bool failed = false;

    while (reader->next < reader->end || FillPiece(reader, &failed)) {
        const char *next = reader->piece + reader->next;
        const char *end = reader->piece + reader->end;
        if (reader->after_full_line)
            next = SkipLineFeedOfFullLine(reader, next, end);

        while (next < end) {
            const char *special = FindSpecial(next, end);
            std::size_t run = static_cast<std::size_t>(special - next);
            if (run > capacity - length)
                run = capacity - length;
            std::memcpy(line + length, next, run);
            length += run;
            next += run;
            if (length == capacity) {
                reader->next = static_cast<std::size_t>(next - reader->piece);
                return CutFullLine(reader, line, length);
            }
            if (next == end)
                break;
            char byte = *next++;
            if (byte == LINE_FEED) {
                reader->next = static_cast<std::size_t>(next - reader->piece);
                line[length] = '\0';
                return length;
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
    line[length] = '\0';
    return length > 0 ? length : NO_LINE;
}
