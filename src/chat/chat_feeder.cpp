#include "chat_feeder.h"

#include <windows.h>

namespace {

const char CHAT_WINDOW_CLASS[] = "YelvoClientMainWindow";
const int INPUT_BOX_ID = 4;

// The client gets time to take the text before Enter arrives, sees a key held
// for a human-like moment, and has sent the message before the next text
// replaces it.
const DWORD SETTEXT_PAUSE_MS = 200;
const DWORD KEY_HOLD_MS = 100;
const DWORD AFTER_KEY_PAUSE_MS = 200;

// Keystroke lParam: repeat count 1, scan code 0x1C (Enter); the key-up also
// sets the previous-state and transition bits.
const LPARAM ENTER_DOWN_LPARAM = 0x001C0001;
const LPARAM ENTER_UP_LPARAM = 0xC01C0001;

// Enter is posted, and a sent message overtakes posted ones still queued: a
// client that is busy when the keys arrive would take the next line's text
// before this line's Enter, and send that text instead.  A sent WM_NULL,
// which every window ignores, is answered only when the client's thread next
// asks for a message, and each ask takes at most one posted message.  So one
// WM_NULL for each message that Enter queues (the key-down, the key-up and
// the '\r' that TranslateMessage makes of the key-down) has the client done
// with all three before the next text goes in, and one more covers an ask
// that answers two of them at once (our thread can wake and send the next
// before the client's thread turns to its queue).  A responsive client
// answers them all at once.
const int ENTER_QUEUE_CHECKS = 4;

// USER32 is delay-loaded: the first call into it loads it, and where it cannot
// load (USER32 failing to start up in a process denied the window system, or
// with no desktop heap left) that call raises an exception that ends the
// process.  Without it there is no chat window to be found, so the line is
// dropped like any line without one.
bool WindowingAvailable()
{
    return GetModuleHandleA("user32.dll") != nullptr || LoadLibraryA("user32.dll") != nullptr;
}

}  // namespace

void SendLineToChat(const char *line)
{
    if (!WindowingAvailable())
        return;
    HWND chat_window = FindWindowA(CHAT_WINDOW_CLASS, nullptr);
    if (chat_window == nullptr)
        return;
    HWND input_box = GetDlgItem(chat_window, INPUT_BOX_ID);
    if (input_box == nullptr)
        return;

    SendMessageA(input_box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(line));
    Sleep(SETTEXT_PAUSE_MS);
    PostMessageA(input_box, WM_KEYDOWN, VK_RETURN, ENTER_DOWN_LPARAM);
    Sleep(KEY_HOLD_MS);
    PostMessageA(input_box, WM_KEYUP, VK_RETURN, ENTER_UP_LPARAM);
    Sleep(AFTER_KEY_PAUSE_MS);
    for (int check = 0; check < ENTER_QUEUE_CHECKS; check++)
        SendMessageA(input_box, WM_NULL, 0, 0);
}
