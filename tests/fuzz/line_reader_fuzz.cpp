// libFuzzer target: the line reader against the byte-at-a-time reference, over
// any bytes cut into any reads, with any ending, line buffer size and code page.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "line_reader.h"
#include "reference_lines.h"

namespace {

struct FuzzedSource {
    FuzzedDataProvider *data;
    std::string bytes;  // everything handed out, for the reference
    PieceOutcome ending;
    bool ended;
    bool read_after_end;
};

PieceResult ReadFuzzed(void *context, char *piece, std::size_t capacity)
{
    FuzzedSource *source = static_cast<FuzzedSource *>(context);
    if (source->ended) {
        source->read_after_end = true;
        return PieceResult{PIECE_FAILED, 0};
    }
    std::size_t size = source->data->ConsumeIntegralInRange<std::size_t>(1, capacity);
    std::string bytes = source->data->ConsumeBytesAsString(size);
    if (bytes.empty()) {
        source->ended = true;
        return PieceResult{source->ending, 0};
    }
    source->bytes += bytes;
    bytes.copy(piece, bytes.size());
    return PieceResult{PIECE_BYTES, bytes.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const PieceOutcome endings[] = {PIECE_END, PIECE_BROKEN_PIPE, PIECE_FAILED};
    FuzzedSource source = {&data, std::string(), data.PickValueInArray(endings), false, false};
    // Mostly small buffers, so that lines overflow them often; sometimes the real one.
    std::size_t line_size = data.ConsumeBool() ? LINE_BUFFER_SIZE : data.ConsumeIntegralInRange<std::size_t>(2, 9);
    const CodePage code_pages[] = {SINGLE_BYTE_CODE_PAGE, {false, {0x81, 0x9F, 0xE0, 0xFC, 0, 0}}, {true, {0}}};
    const CodePage &code_page = code_pages[data.ConsumeIntegralInRange<std::size_t>(0, 2)];

    std::vector<char> line(line_size);
    LineReader reader;
    StartLineReader(&reader, ReadFuzzed, &source, &code_page);
    std::vector<std::string> lines;
    for (std::size_t length; (length = ReadLine(&reader, line.data(), line_size)) != NO_LINE;) {
        if (length >= line_size || line[length] != '\0')
            std::abort();
        lines.emplace_back(line.data(), length);
    }
    if (source.read_after_end || lines != ReferenceLines(source.bytes, source.ending, line_size, code_page))
        std::abort();
    return 0;
}
