// chatpipe: sends each line of standard input to the running chat client.
#include "chat/chat_feeder.h"
#include "line_reader.h"
#include "standard_input.h"

int main()
{
    char line[LINE_BUFFER_SIZE];
    StandardInput input;
    LineReader reader;

    if (!OpenStandardInput(&input))
        return 0;
    StartLineReader(&reader, ReadStandardInput, &input, &input.code_page);
    while (ReadLine(&reader, line, sizeof line) != NO_LINE)
        SendLineToChat(line);
    return 0;
}
