// The DLL that needsdll.cpp imports; tests copy the program without it.
__declspec(dllexport) int tarvinoAbsentFunction()
{
    return 0;
}
