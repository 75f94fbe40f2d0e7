// Reads a REGEDIT4 file with the emulated registry's reader and prints its RegDiff test trees in the
// canonical form of reg_dump_win32.c, so that the two outputs compare line by line. A file the reader
// refuses gives the single line "REFUSED line N: message".
// With --cut, the key HKEY_LOCAL_MACHINE\KEY is removed first, as a run removes keys, and the edited file
// is written to OUT: importing OUT must give the registry printed; OUT.removal gets the "[-KEY]" file of
// the same removal, which imported after the original file must give it too.
// With --save, the registry read is written to OUT as --export writes one: importing OUT must give the
// registry printed.
// usage: reg_dump_host [--cut KEY OUT | --save OUT] <file.reg>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "registry/regedit4.h"
#include "registry/registry.h"

namespace {

unsigned char Fold(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c;
}

// The order of reg_dump_win32.c: ASCII case folded, then by bytes.
int CompareFolded(std::string_view a, std::string_view b)
{
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = Fold(static_cast<unsigned char>(a[i]));
        const unsigned char y = Fold(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool NameLess(std::string_view a, std::string_view b)
{
    const int folded = CompareFolded(a, b);
    return folded != 0 ? folded < 0 : a < b;
}

std::string Escape(std::string_view name)
{
    std::string out;
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
            char buffer[5];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
            out += buffer;
        } else {
            out += ch;
        }
    }
    return out;
}

// The bytes reg_dump_win32.c reads from Wine for a value we hold: Wine (like Windows NT) keeps a REG_SZ,
// REG_EXPAND_SZ or REG_MULTI_SZ that does not end in a zero byte with one added, where Windows 9x and our
// registry keep the bytes as given. Empty data stays empty in Wine too, but for an empty REG_SZ: that is
// text in quotes, which Wine keeps with its terminator (an empty hex(1) list, which Wine keeps empty, is no
// case of ours). Any other difference shows.
std::string AsWineHoldsIt(const emulated::Value& value)
{
    const bool text = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
    if (value.data.empty())
        return value.type == REG_SZ ? std::string(1, '\0') : std::string();
    if (text && value.data.back() != '\0')
        return value.data + '\0';
    return value.data;
}

void PrintValue(const std::string& shownPath, const emulated::Value& value)
{
    std::string line =
        "V " + shownPath + ' ' + (value.name.empty() ? std::string("@") : '"' + Escape(value.name) + '"');
    line += ' ' + std::to_string(value.type);
    const std::string data = AsWineHoldsIt(value);
    for (std::size_t i = 0; i < data.size(); ++i) {
        char buffer[4];
        std::snprintf(buffer, sizeof buffer, "%c%02x", i == 0 ? ' ' : ',', static_cast<unsigned char>(data[i]));
        line += buffer;
    }
    std::cout << line << '\n';
}

// `path` is the key's path below `root`, `shownPath` the same with the root's name and escaped names.
void DumpKey(const emulated::Registry& reg, HKEY root, const std::string& path, const std::string& shownPath)
{
    std::cout << "K " << shownPath << '\n';
    std::vector<emulated::Value> values = reg.ValuesOf(root, path);
    std::sort(values.begin(), values.end(),
              [](const emulated::Value& a, const emulated::Value& b) { return NameLess(a.name, b.name); });
    for (const emulated::Value& value : values)
        PrintValue(shownPath, value);
    std::vector<std::string> names = reg.SubkeyNames(root, path);
    std::sort(names.begin(), names.end(), NameLess);
    for (const std::string& name : names)
        DumpKey(reg, root, path + '\\' + name, shownPath + '\\' + Escape(name));
}

void DumpRoot(const emulated::Registry& reg, HKEY root, const std::string& rootName)
{
    if (const emulated::Value* value = reg.FindValue(root, "", "RegDiff")) {
        emulated::Value shown = *value;
        shown.name = "RegDiff";
        PrintValue(rootName, shown);
    }
    for (const std::string& name : reg.SubkeyNames(root, "Software")) {
        if (CompareFolded(name, "regdiff") != 0)
            continue;
        DumpKey(reg, root, "Software\\" + name, rootName + "\\Software\\" + Escape(name));
        break;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const bool cut = argc == 5 && std::string_view(argv[1]) == "--cut";
    const bool save = argc == 4 && std::string_view(argv[1]) == "--save";
    if (argc != 2 && !cut && !save) {
        std::cerr << "usage: reg_dump_host [--cut KEY OUT | --save OUT] <file.reg>\n";
        return 2;
    }
    std::ifstream file(argv[argc - 1], std::ios::binary);
    if (!file) {
        std::cerr << "cannot read " << argv[argc - 1] << '\n';
        return 2;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    emulated::Registry reg;
    const emulated::LoadResult result = emulated::LoadRegedit4(text, reg);
    if (!result.ok) {
        std::cout << "REFUSED line " << result.line << ": " << result.message << '\n';
        return 0;
    }
    if (cut) {
        if (reg.DeleteKey(HKEY_LOCAL_MACHINE, argv[2]) != ERROR_SUCCESS) {
            std::cerr << "no key HKEY_LOCAL_MACHINE\\" << argv[2] << '\n';
            return 2;
        }
        std::ofstream out(argv[3], std::ios::binary);
        out << emulated::EditedRegedit4(reg);
        std::ofstream removal(std::string(argv[3]) + ".removal", std::ios::binary);
        removal << emulated::DeletingRegedit4(reg);
        if (!out.flush() || !removal.flush()) {
            std::cerr << "cannot write " << argv[3] << '\n';
            return 2;
        }
    }
    if (save) {
        std::ofstream out(argv[2], std::ios::binary);
        out << emulated::SaveRegedit4(reg);
        if (!out.flush()) {
            std::cerr << "cannot write " << argv[2] << '\n';
            return 2;
        }
    }
    DumpRoot(reg, HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE");
    DumpRoot(reg, HKEY_CURRENT_USER, "HKEY_CURRENT_USER");
    return 0;
}
