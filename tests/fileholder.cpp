// Holds a file open as a virus scanner or an indexer does, without delete
// sharing, so that it can be neither renamed nor removed meanwhile: prints
// "held" once it has the file, and lets it go after MILLISECONDS.
//
// Usage: tarvino_fileholder FILE MILLISECONDS   (Windows only)

#include <windows.h>

#include <cstdio>
#include <cwchar>

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 3)
        return 2;
    const HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::puts("held");
    std::fflush(stdout);
    Sleep(DWORD(std::wcstoul(argv[2], nullptr, 10)));
    CloseHandle(file);
    return 0;
}
