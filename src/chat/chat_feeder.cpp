// The only code that calls the windowing platform (USER32).
#include "chat_feeder.h"

#include <windows.h>

#include "chat_window.h"

namespace {

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
static_assert(AFTER_KEY_PAUSE_MS % ENTER_QUEUE_CHECKS == 0, "the checks divide the pause evenly");

// Each pause is a deadline on the performance counter, set as it starts: it
// never ends short, though Sleep may wake a timer tick early, and it ends late
// only by the lateness of its last wake-up, which no later pause inherits.
LONGLONG Now()
{
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

LONGLONG MsToTicks(DWORD ms, LONGLONG frequency)
{
    return (static_cast<LONGLONG>(ms) * frequency + 999) / 1000;
}

void SleepUntil(LONGLONG deadline, LONGLONG frequency)
{
    for (LONGLONG now = Now(); now < deadline; now = Now())
        Sleep(static_cast<DWORD>(((deadline - now) * 1000 + frequency - 1) / frequency));
}

void Pause(DWORD ms, LONGLONG frequency)
{
    SleepUntil(Now() + MsToTicks(ms, frequency), frequency);
}

void WaitForEnterToBeTaken(HWND input_box, LONGLONG frequency)
{
    LONGLONG step = MsToTicks(AFTER_KEY_PAUSE_MS / ENTER_QUEUE_CHECKS, frequency);
    LONGLONG due = Now();
    for (int check = 0; check < ENTER_QUEUE_CHECKS; check++) {
        due += step;
        SleepUntil(due, frequency);
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

    LARGE_INTEGER frequency = {};
    QueryPerformanceFrequency(&frequency);  // never fails, from Windows XP on

    SendMessageA(input_box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(line));
    Pause(SETTEXT_PAUSE_MS, frequency.QuadPart);
    PostMessageA(input_box, WM_KEYDOWN, VK_RETURN, ENTER_DOWN_LPARAM);
    Pause(KEY_HOLD_MS, frequency.QuadPart);
    PostMessageA(input_box, WM_KEYUP, VK_RETURN, ENTER_UP_LPARAM);
    WaitForEnterToBeTaken(input_box, frequency.QuadPart);  // AFTER_KEY_PAUSE_MS, or longer for a busy client
}
