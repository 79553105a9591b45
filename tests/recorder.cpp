// Stands in for the application in tests: records how it was started in
// "started.txt" beside itself (its arguments, then its working directory, with
// forward slashes, in UTF-8), and adds a line to "starts.txt" for each start.
// Started with --stay, it then keeps running until a file "stop" appears beside
// it (at most a minute), as an application still open during its update would,
// and then writes "stopped.txt".
//
// Tests tell builds apart by bytes appended to this program, which it ignores,
// except for these endings: "\0exit N" ends it at once with status N, recording
// nothing, as a build that cannot run would, and "\0exit N after MS" does so
// after MS milliseconds; "\0abort" ends it by a signal (on Windows, status 3);
// "\0stay" is as --stay.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#ifdef _WIN32
#  include <windows.h>
#endif

namespace fs = std::filesystem;

static fs::path ownPath(std::error_code &error)
{
#ifdef _WIN32
    wchar_t buffer[32768];
    const DWORD size = GetModuleFileNameW(nullptr, buffer, DWORD(std::size(buffer)));
    return fs::path(std::wstring(buffer, size));
#else
    return fs::read_symlink("/proc/self/exe", error);
#endif
}

static std::string ownEnding(const fs::path &self)
{
    std::ifstream in(self, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t nul = bytes.rfind('\0');
    return nul == std::string::npos ? std::string() : bytes.substr(nul + 1);
}

int main(int argc, char *argv[])
{
    std::error_code error;
    const fs::path self = ownPath(error);
    const fs::path dir = self.parent_path();
    const std::string ending = ownEnding(self);
    if (ending.rfind("exit ", 0) == 0) {
        if (const std::size_t after = ending.find(" after "); after != std::string::npos)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(ending.c_str() + after + 7)));
        return std::atoi(ending.c_str() + 5);
    }
    if (ending == "abort")
        std::abort();
    const fs::path partial = dir / "started.txt.part";
    {
        std::ofstream out(partial, std::ios::binary);
        out << "arguments " << argc - 1 << '\n';
        for (int i = 1; i < argc; ++i)
            out << argv[i] << '\n';
        out << "cwd " << fs::current_path(error).generic_u8string() << '\n';
    }
    std::ofstream(dir / "starts.txt", std::ios::app | std::ios::binary) << "started\n";
    // The test may have removed the folder by now; that is no failure of ours.
    fs::rename(partial, dir / "started.txt", error);
    if ((argc > 1 && std::string(argv[1]) == "--stay") || ending == "stay") {
        for (int i = 0; i < 600 && !fs::exists(dir / "stop", error); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ofstream(dir / "stopped.txt") << "stopped\n";
    }
    return error ? 1 : 0;
}
