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
// client busy when the keys arrive would take the next line's text before
// this line's Enter.  So the pause after the key-up asks the client, with a
// sent WM_NULL (which every window ignores), whether it takes messages again:
// once for each message Enter queues (key-down, key-up, and the '\r' that
// TranslateMessage makes) and once to spare, at even steps from the start.
// An answer shows only that the client asked for a message again, so each is
// followed by a wait in which it can take a key: a step after a late answer,
// at least half a step after one on time.  A margin, not a proof.
const int ENTER_QUEUE_CHECKS = 4;

// Sleep may end early by up to a timer tick, and round up by as much: waits
// are measured against the performance counter, so that the checks are timed
// from the start of the pause, and their rounding does not add up.
LONGLONG Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

void SleepUntil(LONGLONG deadline, LONGLONG ticks_per_ms)
{
    for (LONGLONG now = Now(); now < deadline; now = Now())
        Sleep(static_cast<DWORD>((deadline - now + ticks_per_ms - 1) / ticks_per_ms));
}

void WaitForEnterToBeTaken(HWND input_box)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    LONGLONG ticks_per_ms = frequency.QuadPart / 1000;
    LONGLONG step = ticks_per_ms * AFTER_KEY_PAUSE_MS / ENTER_QUEUE_CHECKS;
    LONGLONG due = Now();
    for (int check = 0; check < ENTER_QUEUE_CHECKS; check++) {
        due += step;
        SleepUntil(due, ticks_per_ms);
        SendMessageA(input_box, WM_NULL, 0, 0);
        LONGLONG answered = Now();
        if (answered - due > step / 2)  // kept waiting: the next step starts now
            due = answered;
    }
}

}  // namespace

void SendLineToChat(const char *line)
{
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
    WaitForEnterToBeTaken(input_box);  // AFTER_KEY_PAUSE_MS, or longer for a busy client
}
