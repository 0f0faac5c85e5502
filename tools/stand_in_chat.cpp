// stand_in_chat: a chat client just real enough to be driven by chatpipe.
//
// Its main window has the chat client's class; its message input box is child
// control 4, a real multi-line EDIT control by default, as in most chat
// clients.  Enter going down in the box "sends" the box's text: it is added
// to the transcript pane, and to the transcript file when one is named, and
// the box is emptied.  The carriage return that TranslateMessage makes of
// Enter is swallowed, as every chat client must, or it would leave a line
// break in the emptied box.
//
// Options, for tests and the demo:
//   --transcript FILE   append each sent message to FILE, one per line
//   --events FILE       log every WM_SETTEXT, WM_KEYDOWN and WM_KEYUP that
//                       reaches the box or the main window, with the time
//   --ready FILE        write FILE once the windows exist
//   --box KIND          the input box: edit (a multi-line EDIT, the
//                       default), richedit (RICHEDIT50W from msftedit.dll),
//                       or plain (a window of this program's own that keeps
//                       its text in DefWindowProc)
//   --box-id N          give the input box control identifier N, not 4
//   --nested            put the input box inside a panel, not directly in
//                       the main window
//   --slow-settext MS   take MS milliseconds to handle WM_SETTEXT
//   --busy-after-settext MS
//                       answer WM_SETTEXT at once (ReplyMessage), then stay
//                       busy for MS milliseconds, as a client short of CPU
//   --slow-send MS      take MS milliseconds to send a message on Enter
//   --sent-first MS     once back from being busy, serve sent messages ahead
//                       of posted ones for as long as each comes within MS
//                       milliseconds of the last, as a thread does while it
//                       waits inside a SendMessage or a COM call of its own
#include <windows.h>

#include <richedit.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "chat_window.h"

namespace {

const char PLAIN_BOX_CLASS[] = "StandInInputBox";
const int TRANSCRIPT_PANE_ID = 5;
const int PANEL_ID = 6;
const int BOX_HEIGHT = 28;
// The pane shows the start of a long message; the transcript file has it all.
const int PANE_TEXT_LIMIT = 400;

// Large enough for the longest line chatpipe sends.
const int BOX_TEXT_LIMIT = 0x7FFFFFFE;

struct Options {
    const char *transcript_path = nullptr;
    const char *events_path = nullptr;
    const char *ready_path = nullptr;
    const char *box = "edit";
    int box_id = INPUT_BOX_ID;
    bool nested = false;
    DWORD slow_settext_ms = 0;
    DWORD busy_after_settext_ms = 0;
    DWORD slow_send_ms = 0;
    DWORD sent_first_ms = 0;
};

Options options;
FILE *transcript_file;
FILE *events_file;
HWND transcript_pane;
HWND input_box;
WNDPROC box_control_proc;  // the real control's own window procedure
LARGE_INTEGER clock_frequency;

double NowMs()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(clock_frequency.QuadPart);
}

// A posted message carries the time it went in (MSG.time, GetMessageTime), in
// the window system's milliseconds.  Their offset from NowMs is found by
// posting to ourselves: the stamp falls between the times either side of the
// post, and the narrowest such window gives the offset.
double message_clock_offset_ms;

void FindMessageClockOffset(HWND window)
{
    double narrowest = 1e9;
    for (int i = 0; i < 50; i++) {
        double before = NowMs();
        PostMessageA(window, WM_APP, 0, 0);
        double after = NowMs();
        MSG message;
        if (!PeekMessageA(&message, window, WM_APP, WM_APP, PM_REMOVE) || after - before >= narrowest)
            continue;
        narrowest = after - before;
        // The stamp is whole milliseconds, cut down: it stands for half a one more.
        message_clock_offset_ms = static_cast<double>(message.time) + 0.5 - (before + after) / 2;
    }
}

// One line per message: time in ms, which window, message, wParam, lParam,
// for WM_SETTEXT the length of the text, and the time in ms at which the
// message was sent or posted: a posted key waits in the queue for as long as
// this thread is busy.
void LogEvent(const char *window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (events_file == nullptr)
        return;
    const char *name = message == WM_SETTEXT ? "WM_SETTEXT" : message == WM_KEYDOWN ? "WM_KEYDOWN" : "WM_KEYUP";
    long long length = -1;
    if (message == WM_SETTEXT && lparam != 0)
        length = static_cast<long long>(std::strlen(reinterpret_cast<const char *>(lparam)));
    double now = NowMs();
    double sent = now;
    if (message != WM_SETTEXT)
        sent = static_cast<double>(static_cast<DWORD>(GetMessageTime())) - message_clock_offset_ms;
    std::fprintf(events_file, "%.3f %s %s 0x%llx 0x%llx %lld %.3f\n", now, window, name,
                 static_cast<unsigned long long>(wparam), static_cast<unsigned long long>(lparam), length, sent);
    std::fflush(events_file);
}

// Messages sent to this thread are served here, nested; posted ones wait.
// A sender that keeps sending, each message within sent_first_ms of the
// last, keeps the posted ones waiting for as long as it does.
void ServeSentMessagesWhileTheyKeepComing()
{
    if (options.sent_first_ms == 0)
        return;
    while (MsgWaitForMultipleObjectsEx(0, nullptr, options.sent_first_ms, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE) ==
           WAIT_OBJECT_0) {
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

// Gives the box its text without logging it as chatpipe's.
void SetBoxText(HWND box, const char *text)
{
    CallWindowProcA(box_control_proc, box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void SendBoxText(HWND box)
{
    if (options.slow_send_ms > 0) {
        Sleep(options.slow_send_ms);
        ServeSentMessagesWhileTheyKeepComing();
    }
    std::vector<char> text(static_cast<size_t>(GetWindowTextLengthA(box)) + 1);
    int length = GetWindowTextA(box, text.data(), static_cast<int>(text.size()));
    if (transcript_file != nullptr) {
        std::fwrite(text.data(), 1, static_cast<size_t>(length), transcript_file);
        std::fputc('\n', transcript_file);
        std::fflush(transcript_file);
    }
    if (length > PANE_TEXT_LIMIT)
        text[PANE_TEXT_LIMIT] = '\0';
    LRESULT item = SendMessageA(transcript_pane, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.data()));
    SendMessageA(transcript_pane, LB_SETTOPINDEX, static_cast<WPARAM>(item), 0);
    SetBoxText(box, "");
}

// The input box's own behaviour, in front of whichever control it is.
LRESULT CALLBACK InputBoxProc(HWND box, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_SETTEXT: {
        LogEvent("box", message, wparam, lparam);
        if (options.slow_settext_ms > 0)
            Sleep(options.slow_settext_ms);
        LRESULT result = CallWindowProcA(box_control_proc, box, message, wparam, lparam);
        if (options.busy_after_settext_ms > 0) {
            ReplyMessage(result);
            Sleep(options.busy_after_settext_ms);
            ServeSentMessagesWhileTheyKeepComing();
        }
        return result;
    }
    case WM_KEYDOWN:
        LogEvent("box", message, wparam, lparam);
        if (wparam == VK_RETURN) {
            SendBoxText(box);
            return 0;
        }
        break;
    case WM_KEYUP:
        LogEvent("box", message, wparam, lparam);
        if (wparam == VK_RETURN)
            return 0;
        break;
    case WM_CHAR:
        if (wparam == '\r')
            return 0;
        break;
    }
    return CallWindowProcA(box_control_proc, box, message, wparam, lparam);
}

void PaintPlainBox(HWND box)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(box, &paint);
    RECT area;
    GetClientRect(box, &area);
    FrameRect(dc, &area, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
    char text[PANE_TEXT_LIMIT + 1];
    int length = GetWindowTextA(box, text, sizeof text);
    SetBkMode(dc, TRANSPARENT);
    TextOutA(dc, 6, 6, text, length);
    EndPaint(box, &paint);
}

// The plain box: a control of this program's own.
LRESULT CALLBACK PlainBoxProc(HWND box, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_SETTEXT:
        InvalidateRect(box, nullptr, TRUE);
        break;
    case WM_PAINT:
        PaintPlainBox(box);
        return 0;
    }
    return DefWindowProcA(box, message, wparam, lparam);
}

HWND CreateInputBox(HWND parent, HINSTANCE instance)
{
    HMENU id = reinterpret_cast<HMENU>(static_cast<INT_PTR>(options.box_id));
    DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
    // Scrolled sideways, not wrapped: Wine's EDIT takes 10 s to wrap a
    // 65,535-byte line without spaces, and the tests send such lines.
    DWORD text_style = ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_WANTRETURN;
    HWND box = nullptr;
    if (std::strcmp(options.box, "edit") == 0) {
        box = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "", style | text_style, 0, 0, 0, 0, parent, id, instance,
                              nullptr);
        if (box != nullptr)
            SendMessageA(box, EM_SETLIMITTEXT, BOX_TEXT_LIMIT, 0);
    } else if (std::strcmp(options.box, "richedit") == 0) {
        if (LoadLibraryA("msftedit.dll") != nullptr)
            box = CreateWindowExA(WS_EX_CLIENTEDGE, "RICHEDIT50W", "", style | text_style, 0, 0, 0, 0, parent,
                                  id, instance, nullptr);
        // A rich edit's default limit is 32,767 characters, which Windows
        // may hold WM_SETTEXT to too (Wine does not): lift it, as for EDIT.
        if (box != nullptr)
            SendMessageA(box, EM_EXLIMITTEXT, 0, BOX_TEXT_LIMIT);
    } else if (std::strcmp(options.box, "plain") == 0) {
        box = CreateWindowExA(0, PLAIN_BOX_CLASS, "", style, 0, 0, 0, 0, parent, id, instance, nullptr);
    } else {
        std::fprintf(stderr, "stand_in_chat: unknown box %s\n", options.box);
        std::exit(2);
    }
    if (box == nullptr) {
        std::fprintf(stderr, "stand_in_chat: cannot create the %s box (error %lu)\n", options.box, GetLastError());
        std::exit(1);
    }
    box_control_proc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(InputBoxProc)));
    return box;
}

void CreateChildren(HWND main_window, HINSTANCE instance)
{
    transcript_pane = CreateWindowExA(WS_EX_CLIENTEDGE, "LISTBOX", nullptr,
                                      WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOSEL,
                                      0, 0, 0, 0, main_window,
                                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(TRANSCRIPT_PANE_ID)), instance,
                                      nullptr);
    HWND box_parent = main_window;
    if (options.nested)
        box_parent = CreateWindowExA(0, "STATIC", nullptr, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, main_window,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(PANEL_ID)), instance, nullptr);
    input_box = CreateInputBox(box_parent, instance);
}

void LayOut(HWND main_window, int width, int height)
{
    int pane_height = height - BOX_HEIGHT - 12 > 0 ? height - BOX_HEIGHT - 12 : 0;
    MoveWindow(transcript_pane, 4, 4, width - 8, pane_height, TRUE);
    HWND box_parent = GetParent(input_box);
    if (box_parent != main_window) {
        MoveWindow(box_parent, 4, height - BOX_HEIGHT - 4, width - 8, BOX_HEIGHT, TRUE);
        MoveWindow(input_box, 0, 0, width - 8, BOX_HEIGHT, TRUE);
    } else {
        MoveWindow(input_box, 4, height - BOX_HEIGHT - 4, width - 8, BOX_HEIGHT, TRUE);
    }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        CreateChildren(window, reinterpret_cast<CREATESTRUCTA *>(lparam)->hInstance);
        return 0;
    case WM_SIZE:
        LayOut(window, LOWORD(lparam), HIWORD(lparam));
        return 0;
    case WM_SETTEXT:
    case WM_KEYDOWN:
    case WM_KEYUP:
        LogEvent("main", message, wparam, lparam);
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

FILE *OpenForAppend(const char *path)
{
    FILE *file = path != nullptr ? std::fopen(path, "ab") : nullptr;
    if (path != nullptr && file == nullptr) {
        std::fprintf(stderr, "stand_in_chat: cannot open %s\n", path);
        std::exit(1);
    }
    return file;
}

void ParseOptions(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const char *option = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(option, "--nested") == 0) {
            options.nested = true;
            continue;
        }
        if (value == nullptr) {
            std::fprintf(stderr, "stand_in_chat: %s wants a value\n", option);
            std::exit(2);
        }
        i++;
        if (std::strcmp(option, "--transcript") == 0)
            options.transcript_path = value;
        else if (std::strcmp(option, "--events") == 0)
            options.events_path = value;
        else if (std::strcmp(option, "--ready") == 0)
            options.ready_path = value;
        else if (std::strcmp(option, "--box-id") == 0)
            options.box_id = std::atoi(value);
        else if (std::strcmp(option, "--box") == 0)
            options.box = value;
        else if (std::strcmp(option, "--slow-settext") == 0)
            options.slow_settext_ms = static_cast<DWORD>(std::atoi(value));
        else if (std::strcmp(option, "--busy-after-settext") == 0)
            options.busy_after_settext_ms = static_cast<DWORD>(std::atoi(value));
        else if (std::strcmp(option, "--slow-send") == 0)
            options.slow_send_ms = static_cast<DWORD>(std::atoi(value));
        else if (std::strcmp(option, "--sent-first") == 0)
            options.sent_first_ms = static_cast<DWORD>(std::atoi(value));
        else {
            std::fprintf(stderr, "stand_in_chat: unknown option %s\n", option);
            std::exit(2);
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    ParseOptions(argc, argv);
    QueryPerformanceFrequency(&clock_frequency);
    transcript_file = OpenForAppend(options.transcript_path);
    events_file = OpenForAppend(options.events_path);

    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA box_class = {};
    box_class.lpfnWndProc = PlainBoxProc;
    box_class.hInstance = instance;
    box_class.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32513));  // IDC_IBEAM
    box_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    box_class.lpszClassName = PLAIN_BOX_CLASS;
    WNDCLASSA main_class = {};
    main_class.lpfnWndProc = MainWindowProc;
    main_class.hInstance = instance;
    main_class.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    main_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    main_class.lpszClassName = CHAT_WINDOW_CLASS;
    if (!RegisterClassA(&box_class) || !RegisterClassA(&main_class))
        return 1;

    HWND main_window = CreateWindowExA(0, CHAT_WINDOW_CLASS, "Yelvo (stand-in)", WS_OVERLAPPEDWINDOW,
                                       40, 40, 520, 360, nullptr, nullptr, instance, nullptr);
    if (main_window == nullptr)
        return 1;
    FindMessageClockOffset(main_window);
    ShowWindow(main_window, SW_SHOWNORMAL);
    UpdateWindow(main_window);
    SetFocus(input_box);

    if (options.ready_path != nullptr) {
        FILE *ready = std::fopen(options.ready_path, "wb");
        if (ready == nullptr)
            return 1;
        std::fprintf(ready, "ready %lu\n", GetCurrentProcessId());
        std::fclose(ready);
    }

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
