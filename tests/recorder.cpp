// Stands in for the application in tests: records how it was started in
// "started.txt" beside itself (its arguments, then its working directory).

#include <filesystem>
#include <fstream>

int main(int argc, char *argv[])
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::read_symlink("/proc/self/exe").parent_path();
    const fs::path partial = dir / "started.txt.part";
    {
        std::ofstream out(partial);
        out << "arguments " << argc - 1 << '\n';
        for (int i = 1; i < argc; ++i)
            out << argv[i] << '\n';
        out << "cwd " << fs::current_path().string() << '\n';
    }
    fs::rename(partial, dir / "started.txt");
    return 0;
}
