// Stands in for the application in tests: records how it was started in
// "started.txt" beside itself (its arguments, then its working directory).

#include <filesystem>
#include <fstream>

int main(int argc, char *argv[])
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path dir = fs::read_symlink("/proc/self/exe", error).parent_path();
    const fs::path partial = dir / "started.txt.part";
    {
        std::ofstream out(partial);
        out << "arguments " << argc - 1 << '\n';
        for (int i = 1; i < argc; ++i)
            out << argv[i] << '\n';
        out << "cwd " << fs::current_path(error).string() << '\n';
    }
    // The test may have removed the folder by now; that is no failure of ours.
    fs::rename(partial, dir / "started.txt", error);
    return error ? 1 : 0;
}
