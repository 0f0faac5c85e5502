#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "line_reader.h"
#include "reference_lines.h"

namespace {

using Lines = std::vector<std::string>;

std::vector<std::string> Split(const std::string &bytes, std::size_t piece_size)
{
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < bytes.size(); at += piece_size)
        pieces.push_back(bytes.substr(at, piece_size));
    return pieces;
}

Lines ReadAll(ScriptedSource *source, std::size_t line_size = LINE_BUFFER_SIZE,
              const CodePage &code_page = SINGLE_BYTE_CODE_PAGE)
{
    std::vector<char> buffer(line_size);
    LineReader reader;
    StartLineReader(&reader, ReadScripted, source, &code_page);
    Lines lines;
    for (std::size_t length; (length = ReadLine(&reader, buffer.data(), line_size)) != NO_LINE;) {
        EXPECT_EQ(buffer[length], '\0');
        lines.emplace_back(buffer.data(), length);
    }
    EXPECT_EQ(ReadLine(&reader, buffer.data(), line_size), NO_LINE) << "no line after the end";
    EXPECT_EQ(source->faults, 0u) << "a read after the end, or one too small for a piece";
    return lines;
}

std::string Repeat(char byte, std::size_t count) { return std::string(count, byte); }

std::string Repeat(const std::string &text, std::size_t count)
{
    std::string repeated;
    while (count-- > 0)
        repeated += text;
    return repeated;
}

const std::size_t MAX_LINE = LINE_BUFFER_SIZE - 1;

struct Case {
    const char *name;
    std::vector<std::string> pieces;
    PieceOutcome ending;
    Lines expected;
};

void PrintTo(const Case &rule_case, std::ostream *out) { *out << rule_case.name; }

class LineRules : public testing::TestWithParam<Case> {};

TEST_P(LineRules, DeliversTheExpectedLines)
{
    ScriptedSource source{GetParam().pieces, GetParam().ending};
    EXPECT_EQ(ReadAll(&source), GetParam().expected);
}

const std::string NUL_LINE("ab\0cd", 5);

INSTANTIATE_TEST_SUITE_P(
    Rules, LineRules,
    testing::Values(
        Case{"CrLfLines", {"one\r\ntwo\r\n"}, PIECE_END, {"one", "two"}},
        Case{"LoneCrVanishes", {"a\rb\n"}, PIECE_END, {"ab"}},
        Case{"OnlyCrsMakeNoLine", {"\r\r"}, PIECE_END, {}},
        Case{"CrLfAloneIsEmptyLine", {"\r\n"}, PIECE_END, {""}},
        Case{"CtrlZEndsInput", {"x\x1Ay\n"}, PIECE_END, {"x"}},
        Case{"CtrlZFirst", {"\x1A" "abc\n"}, PIECE_END, {}},
        Case{"CtrlZAfterLines", {"a\nb\n\x1A", "never\n"}, PIECE_END, {"a", "b"}},
        Case{"CtrlZInLaterPiece", {"ab", "c\x1A" "d\n"}, PIECE_END, {"abc"}},
        Case{"EmptyInput", {}, PIECE_END, {}},
        Case{"EmptyLines", {"\n\n"}, PIECE_END, {"", ""}},
        Case{"UnterminatedAtEnd", {"last"}, PIECE_END, {"last"}},
        Case{"UnterminatedAtBrokenPipe", {"last"}, PIECE_BROKEN_PIPE, {"last"}},
        Case{"UnterminatedAtFailureIsLost", {"last"}, PIECE_FAILED, {}},
        Case{"FailureKeepsEarlierLines", {"a\nb", "c"}, PIECE_FAILED, {"a"}},
        Case{"BrokenPipeAfterLines", {"a\n", "b\n"}, PIECE_BROKEN_PIPE, {"a", "b"}},
        Case{"FailureRightAway", {}, PIECE_FAILED, {}},
        Case{"NulIsKept", {NUL_LINE + "\n"}, PIECE_END, {NUL_LINE}},
        Case{"LineAcrossPieces", {"hel", "lo\nwor", "ld\n"}, PIECE_END, {"hello", "world"}},
        Case{"CrAtPieceEnd", {"ab\r", "\ncd\r", "\n"}, PIECE_END, {"ab", "cd"}},
        Case{"HighBytesUntouched", {"caf\xE9 \x80\xFF\n"}, PIECE_END, {"caf\xE9 \x80\xFF"}},
        Case{"ExactlyFull", Split(Repeat('x', MAX_LINE) + "\n", 512), PIECE_END,
             {Repeat('x', MAX_LINE)}},
        Case{"ExactlyFullCrLf", Split(Repeat('x', MAX_LINE) + "\r\ny\n", 512), PIECE_END,
             {Repeat('x', MAX_LINE), "y"}},
        Case{"ExactlyFullThenEmptyLine", Split(Repeat('x', MAX_LINE) + "\n\n", 512), PIECE_END,
             {Repeat('x', MAX_LINE), ""}},
        Case{"ExactlyFullAtEnd", Split(Repeat('x', MAX_LINE), 512), PIECE_BROKEN_PIPE,
             {Repeat('x', MAX_LINE)}},
        Case{"ExactlyFullThenCtrlZ", Split(Repeat('x', MAX_LINE) + "\x1A", 512), PIECE_END,
             {Repeat('x', MAX_LINE)}},
        Case{"OneOver", Split(Repeat('x', MAX_LINE) + "y\n", 512), PIECE_END,
             {Repeat('x', MAX_LINE), "y"}},
        Case{"FarOver", Split(Repeat('x', 3 * MAX_LINE + 7) + "\nz\n", 512), PIECE_END,
             {Repeat('x', MAX_LINE), Repeat('x', MAX_LINE), Repeat('x', MAX_LINE),
              Repeat('x', 7), "z"}},
        Case{"TwiceFull", Split(Repeat('x', 2 * MAX_LINE) + "\n", 500), PIECE_END,
             {Repeat('x', MAX_LINE), Repeat('x', MAX_LINE)}}),
    [](const testing::TestParamInfo<Case> &param_info) { return std::string(param_info.param.name); });

const std::string HIRAGANA_A_932 = "\x82\xA0";      // あ
const std::string HIRAGANA_A_UTF8 = "\xE3\x81\x82";  // あ
const std::string GRINNING_UTF8 = "\xF0\x9F\x98\x80";

struct CutCase {
    const char *name;
    CodePage code_page;
    std::string text;
    Lines expected;
};

void PrintTo(const CutCase &cut_case, std::ostream *out) { *out << cut_case.name; }

class LongLineCuts : public testing::TestWithParam<CutCase> {};

TEST_P(LongLineCuts, FallBetweenCharacters)
{
    ScriptedSource source{Split(GetParam().text, READ_PIECE_SIZE)};
    Lines lines = ReadAll(&source, LINE_BUFFER_SIZE, GetParam().code_page);
    EXPECT_EQ(lines, GetParam().expected);
    std::string joined, text = GetParam().text;
    for (const std::string &line : lines)
        joined += line;
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    EXPECT_EQ(joined, text) << "every byte arrives, once";
}

// 65,534 single bytes leave one byte of room: a two-byte character that
// would straddle the cut goes whole to the next line.
INSTANTIATE_TEST_SUITE_P(
    CodePages, LongLineCuts,
    testing::Values(
        CutCase{"ShiftJisStraddling", SHIFT_JIS, Repeat('x', MAX_LINE - 1) + HIRAGANA_A_932 + "y\n",
                {Repeat('x', MAX_LINE - 1), HIRAGANA_A_932 + "y"}},
        CutCase{"ShiftJisFitting", SHIFT_JIS, Repeat('x', MAX_LINE - 2) + HIRAGANA_A_932 + "y\n",
                {Repeat('x', MAX_LINE - 2) + HIRAGANA_A_932, "y"}},
        // A trail byte in the lead-byte range: only a scan from the line's start tells.
        CutCase{"ShiftJisTrailLooksLikeLead", SHIFT_JIS,
                Repeat('x', MAX_LINE - 4) + "\x88\x9F\x88\x9F" + "\x82\xA0\n",
                {Repeat('x', MAX_LINE - 4) + "\x88\x9F\x88\x9F", HIRAGANA_A_932}},
        CutCase{"ShiftJisAllDoubleByte", SHIFT_JIS, Repeat(HIRAGANA_A_932, 40000) + "\n",
                {Repeat(HIRAGANA_A_932, MAX_LINE / 2), Repeat(HIRAGANA_A_932, 40000 - MAX_LINE / 2)}},
        CutCase{"SingleByteCutsAnywhere", SINGLE_BYTE_CODE_PAGE, Repeat('x', MAX_LINE - 1) + "\x82\xA0y\n",
                {Repeat('x', MAX_LINE - 1) + "\x82", "\xA0y"}},
        CutCase{"Utf8ThreeBytesOneShort", UTF8, Repeat('x', MAX_LINE - 2) + HIRAGANA_A_UTF8 + "\n",
                {Repeat('x', MAX_LINE - 2), HIRAGANA_A_UTF8}},
        CutCase{"Utf8ThreeBytesTwoShort", UTF8, Repeat('x', MAX_LINE - 1) + HIRAGANA_A_UTF8 + "\n",
                {Repeat('x', MAX_LINE - 1), HIRAGANA_A_UTF8}},
        CutCase{"Utf8FourBytesThreeShort", UTF8, Repeat('x', MAX_LINE - 1) + GRINNING_UTF8 + "z\n",
                {Repeat('x', MAX_LINE - 1), GRINNING_UTF8 + "z"}},
        CutCase{"Utf8EndsExactly", UTF8, Repeat('x', MAX_LINE - 3) + HIRAGANA_A_UTF8 + "z\n",
                {Repeat('x', MAX_LINE - 3) + HIRAGANA_A_UTF8, "z"}},
        // Stray continuation bytes belong to no character: cut anywhere.
        CutCase{"Utf8StrayContinuation", UTF8, Repeat('x', MAX_LINE - 1) + "\x81\x81\n",
                {Repeat('x', MAX_LINE - 1) + "\x81", "\x81"}},
        // The LF right after a cut line ends the carried part, not an empty line.
        CutCase{"CarriedThenLineFeed", UTF8, Repeat('x', MAX_LINE - 1) + HIRAGANA_A_UTF8 + "\n\nq\n",
                {Repeat('x', MAX_LINE - 1), HIRAGANA_A_UTF8, "", "q"}}),
    [](const testing::TestParamInfo<CutCase> &param_info) { return std::string(param_info.param.name); });

TEST(LineReader, HandsOnACompleteLineWithoutReadingAgain)
{
    ScriptedSource source{{"a\nb", "\n"}};
    char line[LINE_BUFFER_SIZE];
    LineReader reader;
    StartLineReader(&reader, ReadScripted, &source, &SINGLE_BYTE_CODE_PAGE);

    ASSERT_EQ(ReadLine(&reader, line, sizeof line), 1u);
    EXPECT_STREQ(line, "a");
    EXPECT_EQ(source.reads, 1u);
    ASSERT_EQ(ReadLine(&reader, line, sizeof line), 1u);
    EXPECT_STREQ(line, "b");
    EXPECT_EQ(source.reads, 2u);
}

TEST(LineReader, ReadsNothingAfterCtrlZ)
{
    ScriptedSource source{{"x\x1A", "y\n", "z\n"}};
    EXPECT_EQ(ReadAll(&source), Lines{"x"});
    EXPECT_EQ(source.reads, 1u);
}

TEST(LineReader, ReadsNothingAfterTheEnd)
{
    for (PieceOutcome ending : {PIECE_END, PIECE_BROKEN_PIPE, PIECE_FAILED}) {
        ScriptedSource source{{"a\n", "b"}, ending};
        ReadAll(&source);
        EXPECT_EQ(source.reads, 3u);
    }
}

// Random bytes rich in the bytes that matter (lead, trail and continuation
// bytes among them), cut into random pieces, with a small line buffer so that
// splitting happens often.
TEST(LineReader, AgreesWithTheReferenceOnRandomInput)
{
    std::mt19937 random(20261207);
    const char alphabet[] = {'a', '\x82', '\xE3', '\x81', '\xF0', '\n', '\r', '\0', '\x1A'};
    const std::size_t COMMON = 7;  // all but NUL and Ctrl-Z
    const PieceOutcome endings[] = {PIECE_END, PIECE_BROKEN_PIPE, PIECE_FAILED};
    const CodePage code_pages[] = {SINGLE_BYTE_CODE_PAGE, SHIFT_JIS, UTF8};
    for (int round = 0; round < 30000; round++) {
        const CodePage &code_page = code_pages[round % 3];
        std::size_t line_size = 2 + random() % 6;
        std::string bytes(random() % 40, 'a');
        for (char &byte : bytes)
            byte = alphabet[random() % (random() % 8 == 0 ? sizeof alphabet : COMMON)];
        ScriptedSource source{{}, endings[random() % 3]};
        for (std::size_t at = 0; at < bytes.size();) {
            std::size_t size = 1 + random() % 9;
            source.pieces.push_back(bytes.substr(at, size));
            at += size;
        }
        ASSERT_EQ(ReadAll(&source, line_size, code_page), ReferenceLines(bytes, source.ending, line_size, code_page))
            << "round " << round;
    }
}

}  // namespace
