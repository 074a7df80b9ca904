#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/console.h"

namespace {

HANDLE keyboard = nullptr;
DWORD ownMode = 0;
volatile LONG keysWanted = 0;  // from readTypedKeys until restoreTerminal
void (*takeTypedByte)(unsigned char byte) = nullptr;

void takeBytes(const char *bytes) {
    for (; *bytes != '\0'; bytes++) takeTypedByte(static_cast<unsigned char>(*bytes));
}

// The console tells keys, not bytes: the arrows become what a VT terminal sends for them, and a
// printable key its character. Escape itself is left out, as it would swallow the key after it.
DWORD WINAPI readKeys(LPVOID) {
    for (;;) {
        INPUT_RECORD record;
        DWORD count = 0;
        if (!ReadConsoleInputW(keyboard, &record, 1, &count)) return 0;
        if (count == 0 || record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
        const KEY_EVENT_RECORD &key = record.Event.KeyEvent;
        if (key.wVirtualKeyCode == VK_LEFT) {
            takeBytes("\x1b[D");
        } else if (key.wVirtualKeyCode == VK_RIGHT) {
            takeBytes("\x1b[C");
        } else if (key.uChar.UnicodeChar >= 0x20 && key.uChar.UnicodeChar < 0x7f) {
            takeTypedByte(static_cast<unsigned char>(key.uChar.UnicodeChar));
        }
    }
}

}  // namespace

bool standardErrorIsTerminal() {
    return _isatty(2) != 0;
}

void writeStandardError(const char *text) {
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    const int length = static_cast<int>(strlen(text));
    const int wideLength = MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0);
    if (!GetConsoleMode(console, &mode) || wideLength <= 0) {
        fputs(text, stderr);
        return;
    }
    std::vector<wchar_t> wide(static_cast<size_t>(wideLength));
    MultiByteToWideChar(CP_UTF8, 0, text, length, wide.data(), wideLength);
    fflush(stderr);  // what was printed before comes first
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wideLength), &written, nullptr);
}

bool standardInputIsTerminal() {
    // _isatty is true of NUL as well; only a console has a console mode.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool readTypedKeys(void (*takeByte)(unsigned char byte)) {
    keyboard = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(keyboard, &ownMode)) return false;
    takeTypedByte = takeByte;
    // Processed input stays on: Ctrl+C still reaches the control handler and stops the run.
    if (!SetConsoleMode(keyboard, ownMode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT))) return false;
    keysWanted = 1;
    HANDLE reader = CreateThread(nullptr, 0, readKeys, nullptr, 0, nullptr);
    if (reader == nullptr) {
        restoreTerminal();
        return false;
    }
    CloseHandle(reader);
    return true;
}

void restoreTerminal() {
    if (InterlockedExchange(&keysWanted, 0) != 0) SetConsoleMode(keyboard, ownMode);
}
