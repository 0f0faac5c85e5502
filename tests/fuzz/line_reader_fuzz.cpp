// libFuzzer target: the line reader against the byte-at-a-time reference, over
// any bytes cut into any reads, with any ending, line buffer size and code page.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "line_reader.h"
#include "reference_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const PieceOutcome endings[] = {PIECE_END, PIECE_BROKEN_PIPE, PIECE_FAILED};
    ScriptedSource source;
    source.ending = data.PickValueInArray(endings);
    // Mostly small buffers, so that lines overflow them often; sometimes the real one.
    std::size_t line_size = data.ConsumeBool() ? LINE_BUFFER_SIZE : data.ConsumeIntegralInRange<std::size_t>(2, 9);
    const CodePage code_pages[] = {SINGLE_BYTE_CODE_PAGE, SHIFT_JIS, UTF8};
    const CodePage &code_page = code_pages[data.ConsumeIntegralInRange<std::size_t>(0, 2)];
    std::string input;  // every byte handed out, for the reference
    while (data.remaining_bytes() > 0) {
        std::string piece = data.ConsumeBytesAsString(data.ConsumeIntegralInRange<std::size_t>(1, READ_PIECE_SIZE));
        if (piece.empty())
            break;
        input += piece;
        source.pieces.push_back(piece);
    }

    std::vector<char> line(line_size);
    LineReader reader;
    StartLineReader(&reader, ReadScripted, &source, &code_page);
    std::vector<std::string> lines;
    for (std::size_t length; (length = ReadLine(&reader, line.data(), line_size)) != NO_LINE;) {
        if (length >= line_size || line[length] != '\0')
            std::abort();
        lines.emplace_back(line.data(), length);
    }
    if (source.faults != 0 || lines != ReferenceLines(input, source.ending, line_size, code_page))
        std::abort();
    return 0;
}
