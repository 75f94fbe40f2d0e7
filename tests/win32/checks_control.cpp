// A program built the ordinary mingw way, which the checks of cmpci-uninstall.exe must refuse: CMOV in its
// code, a console subsystem, symbols, and an import (GetTickCount64) that Windows 9x does not have.
#include <windows.h>

#include <cstdio>

int Smaller(int a, int b)
{
    return a < b ? a : b;
}

int main(int argc, char**)
{
    std::printf("%d %llu\n", Smaller(argc, 3), static_cast<unsigned long long>(::GetTickCount64()));
    return 0;
}
