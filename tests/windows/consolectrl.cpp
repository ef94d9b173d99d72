// Presses Ctrl+C on a program's console, as an operator would, once the program has read all
// of its input; for the Wine checks, where no one sits at the console.
//   rangefinder-console-ctrl INPUT PROGRAM [ARGUMENT...]
// PROGRAM starts on a console of its own with INPUT's bytes on a pipe as its standard input,
// which stays open: it waits for more until the Ctrl+C. Its standard output and error are
// this program's; the exit status is PROGRAM's, 98 if it does not end within 30 s after the
// Ctrl+C, 99 if it could not be started.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// This program sits on the same console and must outlive the Ctrl+C it sends.
BOOL WINAPI keepRunning(DWORD)
{
    return TRUE;
}

std::wstring commandLine(int argc, wchar_t *argv[])
{
    std::wstring line;
    for (int i = 2; i < argc; ++i)
        line += (i > 2 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    return line;
}

HANDLE inherited(DWORD which)
{
    const HANDLE handle = GetStdHandle(which);
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return handle;
}

// Whether the program has taken every byte written to the pipe.
bool drained(HANDLE readEnd)
{
    DWORD available = 0;
    return PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available == 0;
}

} // namespace

int wmain(int argc, wchar_t *argv[])
{
    if (argc < 3) {
        std::fputs("usage: rangefinder-console-ctrl INPUT PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string input{std::istreambuf_iterator<char>(file), {}};

    // Standard output and error as they were given, before a console of our own replaces them:
    // a Ctrl+C reaches only the processes on the sender's console.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = inherited(STD_OUTPUT_HANDLE);
    startup.hStdError = inherited(STD_ERROR_HANDLE);
    FreeConsole();
    AllocConsole();
    SetConsoleCtrlHandler(keepRunning, TRUE);

    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, &attributes, 0);
    SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
    startup.hStdInput = readEnd;

    std::wstring line = commandLine(argc, argv);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "rangefinder-console-ctrl: cannot start the program (%lu)\n",
                     GetLastError());
        return 99;
    }
    DWORD written = 0;
    WriteFile(writeEnd, input.data(), DWORD(input.size()), &written, nullptr);
    // The program watches for Ctrl+C before it reads.
    while (!drained(readEnd) && WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
    }
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
        std::fputs("rangefinder-console-ctrl: the program did not end after Ctrl+C\n", stderr);
        TerminateProcess(process.hProcess, 98);
        return 98;
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    return int(status);
}
