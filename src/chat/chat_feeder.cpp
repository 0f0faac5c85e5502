// The only code that calls the windowing platform (USER32).
#include "chat_feeder.h"

#include <windows.h>

#include "chat_window.h"

namespace {

// A sent message overtakes posted ones, so a client busy when Enter is posted
// would take the next line's text first.  The pause after the key-up asks it,
// with a sent WM_NULL, whether it takes messages again: once for each message
// Enter queues (down, up, and TranslateMessage's '\r') and once to spare,
// each answer followed by at least half a step in which it can take a key.
// A margin, not a proof.
const int ENTER_QUEUE_CHECKS = 4;
static_assert(AFTER_KEY_PAUSE_MS % ENTER_QUEUE_CHECKS == 0, "the checks divide the pause evenly");

// Each pause is a deadline on the performance counter, set as it starts: it
// never ends short, though Sleep may wake a timer tick early, and it ends late
// only by the lateness of its last wake-up, which no later pause inherits.
LONGLONG TicksPerSecond()
{
    LARGE_INTEGER frequency = {};
    QueryPerformanceFrequency(&frequency);  // never fails, from Windows XP on
    return frequency.QuadPart;
}

// The counter's rate is fixed at boot: read once.
const LONGLONG TICKS_PER_SECOND = TicksPerSecond();

LONGLONG Now()
{
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

LONGLONG MsToTicks(DWORD ms)
{
    return (static_cast<LONGLONG>(ms) * TICKS_PER_SECOND + 999) / 1000;
}

void SleepUntil(LONGLONG deadline)
{
    for (LONGLONG now = Now(); now < deadline; now = Now())
        Sleep(static_cast<DWORD>(((deadline - now) * 1000 + TICKS_PER_SECOND - 1) / TICKS_PER_SECOND));
}

void Pause(DWORD ms)
{
    SleepUntil(Now() + MsToTicks(ms));
}

void WaitForEnterToBeTaken(HWND input_box)
{
    LONGLONG step = MsToTicks(AFTER_KEY_PAUSE_MS / ENTER_QUEUE_CHECKS);
    LONGLONG due = Now();
    for (int check = 0; check < ENTER_QUEUE_CHECKS; check++) {
        due += step;
        SleepUntil(due);
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
    Pause(SETTEXT_PAUSE_MS);
    PostMessageA(input_box, WM_KEYDOWN, VK_RETURN, ENTER_DOWN_LPARAM);
    Pause(KEY_HOLD_MS);
    PostMessageA(input_box, WM_KEYUP, VK_RETURN, ENTER_UP_LPARAM);
    WaitForEnterToBeTaken(input_box);  // AFTER_KEY_PAUSE_MS, or longer for a busy client
}
