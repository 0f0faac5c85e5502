// Delivers lines into the chat client's message input box.
#ifndef CHATPIPE_CHAT_FEEDER_H
#define CHATPIPE_CHAT_FEEDER_H

// Puts `line` (NUL-terminated ANSI text, borrowed for the call) into the chat
// client's input box and presses Enter there.  Without a chat window or input
// box the line is dropped at once.
void SendLineToChat(const char *line);

#endif
