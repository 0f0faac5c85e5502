// pipe_launcher: runs a program with its standard input on a Windows pipe
// that the launcher owns and writes, step by step, so tests can feed a program
// the way a Windows pipe does.  Standard output and error are passed on.
//
//   pipe_launcher [--stdin KIND] PROGRAM [STEP...]
//
// KIND is one of
//   pipe            an anonymous pipe (the default)
//   message-pipe    the client end of a named pipe in message mode: each
//                   write is one message
//   byte-pipe       the client end of a named pipe in byte mode
//   listening       the server end of a named pipe that no client has joined
//   inherit         the launcher's own standard input
//   none            no standard input handle at all
//   unreadable      a handle that fails every read
//
// Steps, in order:
//   write=FILE      write FILE's bytes to the pipe
//   empty           write nothing: a zero-length message on a message pipe
//   sleep=MS        wait MS milliseconds
//   close           close the write end: the reader sees the pipe break
//   disconnect      disconnect a named pipe's server from its client: unread
//                   bytes are thrown away, so wait until `drained` first
//   drained         wait until the program has read all that was written
//   signal=FILE     create FILE, to tell the test how far the steps are
//   wait-for=FILE   wait until FILE exists
//   exits-within=MS wait for the program to exit, with the pipe as it is;
//                   fail with status 3 if it has not exited within MS
// Afterwards the pipe is closed and the program waited for (at most
// 120 s).  The launcher exits with the program's exit status; 2 and 3 are
// its own failures.  A program that ends with a status other than 0 ends
// the launcher at once, whatever step it is at (a write to a pipe that
// nobody reads any more would wait for ever), and the status is written to
// standard error in full (0xC0000005), which Wine cuts to its low byte.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const DWORD FINAL_WAIT_MS = 120000;
const DWORD STEP_WAIT_MS = 60000;
const DWORD POLL_MS = 10;
const int LAUNCHER_FAILED = 2;
const int DID_NOT_EXIT = 3;

[[noreturn]] void Fail(const char *what, const char *detail)
{
    std::fprintf(stderr, "pipe_launcher: %s %s (error %lu)\n", what, detail, GetLastError());
    std::exit(LAUNCHER_FAILED);
}

const char *program_name;

DWORD WINAPI EndWithFailingProgram(LPVOID process)
{
    DWORD status = 0;
    WaitForSingleObject(process, INFINITE);
    GetExitCodeProcess(process, &status);
    if (status != 0) {
        std::fprintf(stderr, "pipe_launcher: %s ended with status 0x%08lX\n", program_name, status);
        std::fflush(stderr);
        ExitProcess(status);
    }
    return 0;
}

bool StartsWith(const char *text, const char *prefix, const char **rest)
{
    size_t length = std::strlen(prefix);
    if (std::strncmp(text, prefix, length) != 0)
        return false;
    *rest = text + length;
    return true;
}

void WriteFileToPipe(HANDLE pipe, const char *path)
{
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr)
        Fail("cannot open", path);
    std::vector<char> buffer(1 << 16);
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        DWORD written;
        if (!WriteFile(pipe, buffer.data(), static_cast<DWORD>(got), &written, nullptr) || written != got)
            Fail("cannot write", path);
    }
    std::fclose(file);
}

HANDLE Inheritable(HANDLE handle)
{
    HANDLE copy = nullptr;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS);
    return copy;
}

// Polls `done` until it holds or STEP_WAIT_MS has passed.
template <typename Condition>
void WaitUntil(Condition done, const char *what)
{
    for (DWORD waited = 0; !done(); waited += POLL_MS) {
        if (waited >= STEP_WAIT_MS)
            Fail("gave up waiting for", what);
        Sleep(POLL_MS);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    int first = 1;
    const char *stdin_kind = "pipe";
    if (argc > 2 && std::strcmp(argv[1], "--stdin") == 0) {
        stdin_kind = argv[2];
        first = 3;
    }
    if (first >= argc)
        Fail("usage:", "pipe_launcher [--stdin KIND] PROGRAM [STEP...]");

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end, write_end;
    bool message = std::strcmp(stdin_kind, "message-pipe") == 0;
    bool listening = std::strcmp(stdin_kind, "listening") == 0;
    bool named = message || listening || std::strcmp(stdin_kind, "byte-pipe") == 0;
    if (named) {
        char name[64];
        std::snprintf(name, sizeof name, "\\\\.\\pipe\\pipe_launcher_%lu", GetCurrentProcessId());
        DWORD access = listening ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND;
        DWORD type = message ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE : PIPE_TYPE_BYTE;
        write_end = CreateNamedPipeA(name, access, type | PIPE_WAIT, 1, 1 << 16, 1 << 16, 0, nullptr);
        if (write_end == INVALID_HANDLE_VALUE)
            Fail("cannot create", name);
        read_end = INVALID_HANDLE_VALUE;
        if (!listening) {
            read_end = CreateFileA(name, GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, &inherit, OPEN_EXISTING, 0,
                                   nullptr);
            if (read_end == INVALID_HANDLE_VALUE)
                Fail("cannot open", name);
            DWORD mode = PIPE_READMODE_MESSAGE;
            if (message && !SetNamedPipeHandleState(read_end, &mode, nullptr, nullptr))
                Fail("cannot read messages from", name);
        }
    } else if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        Fail("cannot create", "pipe");
    }
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = Inheritable(GetStdHandle(STD_OUTPUT_HANDLE));
    startup.hStdError = Inheritable(GetStdHandle(STD_ERROR_HANDLE));
    if (listening)
        startup.hStdInput = Inheritable(write_end);  // ReadFile fails: no client has joined
    else if (std::strcmp(stdin_kind, "pipe") == 0 || named)
        startup.hStdInput = read_end;
    else if (std::strcmp(stdin_kind, "inherit") == 0)
        startup.hStdInput = Inheritable(GetStdHandle(STD_INPUT_HANDLE));
    else if (std::strcmp(stdin_kind, "none") == 0)
        startup.hStdInput = nullptr;
    else if (std::strcmp(stdin_kind, "unreadable") == 0)
        startup.hStdInput = Inheritable(write_end);  // a write-only handle: every read fails
    else
        Fail("unknown --stdin", stdin_kind);

    std::vector<char> command_line(std::strlen(argv[first]) + 3);
    std::snprintf(command_line.data(), command_line.size(), "\"%s\"", argv[first]);
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
        Fail("cannot start", argv[first]);
    // read_end stays open here only so that `drained` can look at the pipe.
    program_name = argv[first];
    HANDLE watcher = CreateThread(nullptr, 0, EndWithFailingProgram, process.hProcess, 0, nullptr);
    if (watcher == nullptr)
        Fail("cannot watch", argv[first]);

    for (int i = first + 1; i < argc; i++) {
        const char *value;
        if (StartsWith(argv[i], "write=", &value)) {
            WriteFileToPipe(write_end, value);
        } else if (StartsWith(argv[i], "sleep=", &value)) {
            Sleep(static_cast<DWORD>(std::atoi(value)));
        } else if (std::strcmp(argv[i], "empty") == 0) {
            DWORD written;
            if (!WriteFile(write_end, "", 0, &written, nullptr))
                Fail("cannot write", "nothing");
        } else if (std::strcmp(argv[i], "disconnect") == 0) {
            if (!DisconnectNamedPipe(write_end))
                Fail("cannot disconnect", "the pipe");
        } else if (std::strcmp(argv[i], "close") == 0) {
            CloseHandle(write_end);
            write_end = nullptr;
        } else if (std::strcmp(argv[i], "drained") == 0) {
            WaitUntil([&] {
                DWORD available = 1;
                return PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) && available == 0;
            }, "the pipe to drain");
        } else if (StartsWith(argv[i], "signal=", &value)) {
            FILE *file = std::fopen(value, "wb");
            if (file == nullptr)
                Fail("cannot create", value);
            std::fclose(file);
        } else if (StartsWith(argv[i], "wait-for=", &value)) {
            WaitUntil([&] { return GetFileAttributesA(value) != INVALID_FILE_ATTRIBUTES; }, value);
        } else if (StartsWith(argv[i], "exits-within=", &value)) {
            if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(std::atoi(value))) != WAIT_OBJECT_0) {
                TerminateProcess(process.hProcess, DID_NOT_EXIT);
                return DID_NOT_EXIT;
            }
        } else {
            Fail("unknown step", argv[i]);
        }
    }
    if (write_end != nullptr)
        CloseHandle(write_end);

    if (WaitForSingleObject(process.hProcess, FINAL_WAIT_MS) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, DID_NOT_EXIT);
        return DID_NOT_EXIT;
    }
    WaitForSingleObject(watcher, INFINITE);  // which ends the launcher if the status is not 0
    return 0;
}
