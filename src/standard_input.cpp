#include "standard_input.h"

#include <cstring>

namespace {

void DescribeAnsiCodePage(StandardInput *input)
{
    input->code_page = SINGLE_BYTE_CODE_PAGE;
    input->code_page.utf8 = GetACP() == CP_UTF8;
    CPINFO info;
    static_assert(sizeof info.LeadByte == sizeof input->code_page.lead_byte_ranges, "lead-byte ranges as CPINFO has them");
    if (!input->code_page.utf8 && GetCPInfo(CP_ACP, &info))
        std::memcpy(input->code_page.lead_byte_ranges, info.LeadByte, sizeof info.LeadByte);
}

// Reads one typed line (or as much of it as one read holds) and converts it
// to the ANSI code page in input->console_text.
PieceResult ReadConsoleLine(StandardInput *input)
{
    WCHAR text[CONSOLE_CHARS_PER_READ];
    for (;;) {
        DWORD count = 0;
        if (input->held_high_surrogate != 0) {
            text[count++] = input->held_high_surrogate;
            input->held_high_surrogate = 0;
        }
        DWORD got = 0;
        DWORD chars = CONSOLE_CHARS_PER_READ;
        while (!input->read_console(input->handle, text + count, chars - count, &got, nullptr)) {
            if (GetLastError() != ERROR_NOT_ENOUGH_MEMORY || chars <= MIN_CONSOLE_CHARS_PER_READ)
                return PieceResult{PIECE_FAILED, 0};
            chars /= 2;
        }
        // Ctrl-Z comes as the character 0x1A, for the line reader to see.
        // Nothing at all comes when Ctrl+C or Ctrl+Break cuts the read short;
        // the default handler is then already ending the process on a thread
        // of its own, so this is the end either way.
        if (got == 0)
            return PieceResult{PIECE_END, 0};
        count += got;
        if (IS_HIGH_SURROGATE(text[count - 1]))
            input->held_high_surrogate = text[--count];
        if (count == 0)
            continue;
        // Without WC_NO_BEST_FIT_CHARS a character the code page lacks turns
        // into a look-alike ('∞' into '8'), which changes what was typed; with
        // it, into '?'.  UTF-8 lacks nothing, and refuses the flag.
        DWORD flags = input->code_page.utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
        int bytes = WideCharToMultiByte(CP_ACP, flags, text, static_cast<int>(count), input->console_text,
                                        static_cast<int>(sizeof input->console_text), nullptr, nullptr);
        if (bytes <= 0)
            return PieceResult{PIECE_FAILED, 0};
        input->console_next = 0;
        input->console_end = static_cast<std::size_t>(bytes);
        return PieceResult{PIECE_BYTES, input->console_end};
    }
}

// A console hands ReadFile its text in the console's (OEM) code page, but a
// line is ANSI text: read the console as UTF-16 and convert it ourselves,
// without touching the console's code page or mode.
PieceResult ReadConsoleText(StandardInput *input, char *piece, std::size_t capacity)
{
    if (input->console_next == input->console_end) {
        PieceResult read = ReadConsoleLine(input);
        if (read.outcome != PIECE_BYTES)
            return read;
    }
    std::size_t length = input->console_end - input->console_next;
    if (length > capacity)
        length = capacity;
    std::memcpy(piece, input->console_text + input->console_next, length);
    input->console_next += length;
    return PieceResult{PIECE_BYTES, length};
}

// Pipes and files: ReadFile straight on the handle, so their bytes arrive as
// they are; the line reader does its own CR and Ctrl-Z handling, so no C
// runtime text mode may get there first.
PieceResult ReadHandle(StandardInput *input, char *piece, std::size_t capacity)
{
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(input->handle, piece, static_cast<DWORD>(capacity), &got, nullptr)) {
            switch (GetLastError()) {
            case ERROR_MORE_DATA:  // a message longer than the read: the rest comes next
                if (got > 0)
                    return PieceResult{PIECE_BYTES, got};
                break;
            // The writer closing a pipe, or the server of a named pipe
            // disconnecting, is how a pipe ends; the bytes before it are as
            // good as those before the end of a file.
            case ERROR_BROKEN_PIPE:
            case ERROR_PIPE_NOT_CONNECTED:
                return PieceResult{PIECE_BROKEN_PIPE, 0};
            }
            return PieceResult{PIECE_FAILED, 0};
        }
        if (got > 0)
            return PieceResult{PIECE_BYTES, got};
        // A message-mode pipe wakes its reader with nothing for a zero-length
        // message while more may follow: it has ended only when it says so.
        // A zero-byte write to a byte-mode pipe queues nothing at all.  (Under
        // Wine a Unix pipe fails the question, which ends it.)
        if (input->kind != INPUT_PIPE || !PeekNamedPipe(input->handle, nullptr, 0, nullptr, nullptr, nullptr))
            return PieceResult{PIECE_END, 0};
    }
}

}  // namespace

bool OpenStandardInput(StandardInput *input)
{
    input->handle = GetStdHandle(STD_INPUT_HANDLE);
    if (input->handle == nullptr || input->handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD type = GetFileType(input->handle);
    DWORD mode;
    input->kind = type == FILE_TYPE_CHAR && GetConsoleMode(input->handle, &mode) ? INPUT_CONSOLE
                  : type == FILE_TYPE_PIPE                                         ? INPUT_PIPE
                                                                                   : INPUT_FILE;
    input->read_console = ReadConsoleW;
    DescribeAnsiCodePage(input);
    input->held_high_surrogate = 0;
    input->console_next = input->console_end = 0;
    return true;
}

PieceResult ReadStandardInput(void *source, char *piece, std::size_t capacity)
{
    StandardInput *input = static_cast<StandardInput *>(source);
    return input->kind == INPUT_CONSOLE ? ReadConsoleText(input, piece, capacity) : ReadHandle(input, piece, capacity);
}
