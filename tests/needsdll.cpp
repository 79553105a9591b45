// A Windows program that imports a DLL of its own, which tests leave out, so
// that the loader ends it at once (STATUS_DLL_NOT_FOUND) as it would a build
// made for other Qt libraries than the application folder holds.

__declspec(dllimport) int tarvinoAbsentFunction();

int main()
{
    return tarvinoAbsentFunction();
}
