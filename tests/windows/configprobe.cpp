// Stands in for a module that an OpenSSL configuration file makes the library load: when loaded,
// it leaves a file "<its own path>.loaded" holding the loading process's id. Nothing else.

#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t path[MAX_PATH + 16] = {};
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    lstrcatW(path, L".loaded");
    const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char text[16];
        DWORD written = 0;
        WriteFile(file, text, static_cast<DWORD>(wsprintfA(text, "%lu", GetCurrentProcessId())),
                  &written, nullptr);
        CloseHandle(file);
    }
    return TRUE;
}
