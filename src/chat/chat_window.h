// The chat client's window as chatpipe drives it: the window it looks for,
// the keystrokes it posts there, and the pauses between them.  The stand-in
// client and the benchmarks' floors include this file; the tests and the
// benchmarks read their values from it (tools/chat_window.py).
#ifndef CHATPIPE_CHAT_WINDOW_H
#define CHATPIPE_CHAT_WINDOW_H

// The client's top-level main window, whatever its title.
constexpr char CHAT_WINDOW_CLASS[] = "YelvoClientMainWindow";
// The message input box: the main window's direct child with this id.
constexpr int INPUT_BOX_ID = 4;

// The client gets time to take the text before Enter arrives, sees a key held
// for a human-like moment, and has sent the message before the next text
// replaces it.
constexpr unsigned long SETTEXT_PAUSE_MS = 200;
constexpr unsigned long KEY_HOLD_MS = 100;
constexpr unsigned long AFTER_KEY_PAUSE_MS = 200;

// Keystroke lParam: repeat count 1, scan code 0x1C (Enter); the key-up also
// sets the previous-state and transition bits.
constexpr unsigned long ENTER_DOWN_LPARAM = 0x001C0001;
constexpr unsigned long ENTER_UP_LPARAM = 0xC01C0001;

#endif
