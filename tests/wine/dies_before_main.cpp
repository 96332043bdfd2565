// Needs a DLL that is not beside it (see CMakeLists.txt), so Wine ends it before main and the
// runner alone can tell how. Built with TXL_ABSENT_DLL, it is that DLL.

#ifdef TXL_ABSENT_DLL
extern "C" __declspec(dllexport) int TxlAbsent()
{
    return 0;
}
#else
extern "C" __declspec(dllimport) int TxlAbsent();

int main()
{
    return TxlAbsent();
}
#endif
