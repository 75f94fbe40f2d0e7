// Prints a Windows 9x registry file (SYSTEM.DAT, USER.DAT) as the project reads it (emulated::LoadHive), in
// the canonical form of libcreg_view.py (see hive_view.h). Exits 1 with the offset at fault when the file is
// refused.
// usage: hive_view FILE
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "hive/hive_view.h"
#include "registry/hive.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: hive_view FILE\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        std::cerr << "hive_view: cannot read " << argv[1] << '\n';
        return 1;
    }
    emulated::Registry registry;
    emulated::HiveError error;
    if (!emulated::LoadHive(std::move(bytes), registry, HKEY_LOCAL_MACHINE, "", error)) {
        std::cerr << "hive_view: " << argv[1] << ": refused at offset " << error.offset << ": " << error.message
                  << '\n';
        return 1;
    }
    std::cout << hive_view::Dump(registry, HKEY_LOCAL_MACHINE);
    return std::cout.flush() ? 0 : 1;
}
