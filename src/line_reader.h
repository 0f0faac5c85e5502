// Turns the bytes of standard input into lines.  Nothing here calls the
// platform: bytes come in through ReadPieceFn, so the rules can be built and
// tested anywhere.
#ifndef CHATPIPE_LINE_READER_H
#define CHATPIPE_LINE_READER_H

#include <cstddef>

// The line buffer holds a line of at most LINE_BUFFER_SIZE - 1 bytes and its NUL.
constexpr std::size_t LINE_BUFFER_SIZE = 65536;
// The most one read of standard input asks for.
const std::size_t READ_PIECE_SIZE = 512;

enum PieceOutcome {
    PIECE_BYTES,        // length > 0 bytes arrived
    PIECE_END,          // no more bytes will come
    PIECE_BROKEN_PIPE,  // the writer of a pipe has closed: also the end
    PIECE_FAILED,       // the read failed; what it would have given is lost
};

struct PieceResult {
    PieceOutcome outcome;
    std::size_t length;
};

// One read of at most `capacity` bytes into `piece`, returning whatever is
// available now rather than waiting for `capacity` bytes.
typedef PieceResult (*ReadPieceFn)(void *source, char *piece, std::size_t capacity);

// What a character is in the ANSI code page, so that a line too long for the
// buffer is cut between two characters and never inside one.
struct CodePage {
    bool utf8;  // a lead byte says how many bytes its character has
    // Double-byte code pages: inclusive first, last pairs of lead-byte ranges,
    // ended by a 0, 0 pair, as GetCPInfo gives them; none in a single-byte one.
    unsigned char lead_byte_ranges[12];
};

const CodePage SINGLE_BYTE_CODE_PAGE = {false, {0}};

// The most bytes of one character that a cut can leave over for the next line.
const std::size_t MAX_CHARACTER_TAIL = 3;

struct LineReader {
    ReadPieceFn read_piece;
    void *source;
    char piece[READ_PIECE_SIZE];
    std::size_t next;       // first byte of `piece` not yet consumed
    std::size_t end;        // one past the last byte of `piece` read
    bool input_over;        // end, Ctrl-Z or failure seen: never read again
    bool after_full_line;   // the last line filled the buffer before its LF
    bool utf8;
    bool lead_byte[256];
    char carried[MAX_CHARACTER_TAIL];  // the start of a character cut off a full line
    std::size_t carried_length;
};

void StartLineReader(LineReader *reader, ReadPieceFn read_piece, void *source, const CodePage *code_page);

// What ReadLine returns when there is no further line.
const std::size_t NO_LINE = static_cast<std::size_t>(-1);

// Reads the next line into `line` (`line_size` bytes, at least 2) without its
// LF and with every CR removed, and ends it with a NUL.  A line that does not
// fit is handed on in pieces of at most line_size - 1 bytes, each cut after
// the last whole character that fits.  Returns the line's length, which
// counts any NUL bytes in it, or NO_LINE.
std::size_t ReadLine(LineReader *reader, char *line, std::size_t line_size);

#endif
