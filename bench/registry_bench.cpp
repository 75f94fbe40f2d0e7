// Emulated registry at scale: a generated REGEDIT4 text of about 50,000 keys and 200,000 values, one key with
// 5,000 subkeys. Times loading, saving, a walk that opens every key and reads a value, enumeration of the
// wide key, and the deleting walk of the wide key by index 0; prints the figures.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "registry/regedit4.h"
#include "registry/registry.h"

namespace {

constexpr int kWideSubkeys = 5000;
constexpr int kGroups = 90;
constexpr int kItemsPerGroup = 500;  // 90 * 500 + 5000 + the group and frame keys: about 50,100 keys
constexpr int kValuesPerKey = 4;

void AppendValues(std::string& text, int n)
{
    char line[256];
    std::snprintf(line, sizeof line, "\"Driver\"=\"MEDIA\\\\%04d\"\r\n", n % 10000);
    text += line;
    std::snprintf(line, sizeof line, "\"ConfigFlags\"=dword:%08x\r\n", static_cast<unsigned>(n));
    text += line;
    text += "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
            "  17,18,19,1a\r\n";
    text += "\"Expand\"=hex(2):25,77,69,6e,64,69,72,25,00\r\n";
}

// A text in the form regedit writes, so that saving it must give back the same bytes.
std::string Generate(std::vector<std::string>* paths)
{
    std::string text = "REGEDIT4\r\n";
    auto key = [&](const std::string& path, int n) {
        text += "\r\n[HKEY_LOCAL_MACHINE\\" + path + "]\r\n";
        if (n >= 0)
            AppendValues(text, n);
        paths->push_back(path);
    };
    key("Bench", -1);
    key("Bench\\Wide", -1);
    int n = 0;
    for (int i = 0; i < kWideSubkeys; ++i)
        key("Bench\\Wide\\Sub" + std::to_string(i), n++);
    for (int g = 0; g < kGroups; ++g) {
        const std::string group = "Bench\\Group" + std::to_string(g);
        key(group, -1);
        for (int i = 0; i < kItemsPerGroup; ++i)
            key(group + "\\Item" + std::to_string(i), n++);
    }
    text += "\r\n";
    return text;
}

double MillisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main()
{
    using Clock = std::chrono::steady_clock;
    std::vector<std::string> paths;
    const std::string text = Generate(&paths);
    const long long values = static_cast<long long>(kWideSubkeys + kGroups * kItemsPerGroup) * kValuesPerKey;
    std::printf("registry: %zu keys, %lld values, %zu bytes of REGEDIT4 text\n", paths.size(), values, text.size());

    emulated::Registry reg;
    auto start = Clock::now();
    emulated::LoadResult loaded = emulated::LoadRegedit4(text, reg);
    std::printf("load:                 %9.1f ms\n", MillisecondsSince(start));
    if (!loaded.ok) {
        std::printf("load failed at line %u: %s\n", loaded.line, loaded.message.c_str());
        return 1;
    }

    start = Clock::now();
    const std::string saved = emulated::SaveRegedit4(reg);
    std::printf("save:                 %9.1f ms  (%s)\n", MillisecondsSince(start),
                saved == text ? "same bytes as loaded" : "DIFFERS from the loaded text");

    // Open every key by its full path in another letter case, read a value, close it.
    start = Clock::now();
    std::size_t read = 0;
    for (const std::string& path : paths) {
        std::string upper = path;
        for (char& c : upper)
            c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        HKEY key = nullptr;
        if (reg.OpenKey(HKEY_LOCAL_MACHINE, upper.c_str(), &key) != ERROR_SUCCESS)
            continue;
        BYTE data[20];
        DWORD size = sizeof data;
        if (reg.QueryValue(key, "driver", nullptr, data, &size) == ERROR_SUCCESS)
            ++read;
        reg.CloseKey(key);
    }
    double ms = MillisecondsSince(start);
    std::printf("lookup walk:          %9.1f ms  (%zu keys opened, %zu values read, %.2f us per key)\n", ms,
                paths.size(), read, ms * 1000.0 / static_cast<double>(paths.size()));

    HKEY wide = nullptr;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, "Bench\\Wide", &wide) != ERROR_SUCCESS)
        return 1;
    start = Clock::now();
    char name[100];
    DWORD index = 0;
    while (reg.EnumKey(wide, index, name, sizeof name) == ERROR_SUCCESS)
        ++index;
    ms = MillisecondsSince(start);
    std::printf("enumerate wide key:   %9.3f ms  (%u subkeys, %.3f us per index)\n", ms, index, ms * 1000.0 / index);

    // The deleting walk: index 0, delete by full path, again, until none is left.
    start = Clock::now();
    unsigned deleted = 0;
    while (reg.EnumKey(wide, 0, name, sizeof name) == ERROR_SUCCESS) {
        std::string path = std::string("Bench\\Wide\\") + name;
        if (reg.DeleteKey(HKEY_LOCAL_MACHINE, path.c_str()) != ERROR_SUCCESS)
            break;
        ++deleted;
    }
    std::printf("delete wide by idx 0: %9.1f ms  (%u subkeys)\n", MillisecondsSince(start), deleted);
    reg.CloseKey(wide);
    return saved == text && deleted == kWideSubkeys ? 0 : 1;
}
