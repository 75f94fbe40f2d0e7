// Times a whole run on a large machine: thousands of devices in Enum\PCI with the card's key last, many
// driver classes and resource entries, a wide Volume Control key. Prints load, run and save figures.
#include <chrono>
#include <cstdio>
#include <string>

#include "run/run.h"
#include "system/emulated/machine.h"

namespace {

std::string LargeRegistry(int devices)
{
    std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI]\r\n";
    for (int i = 0; i < devices; ++i) {
        std::string device = "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_1" + std::to_string(1000 + i % 9000) + "&DEV_" +
                             std::to_string(i) + "&SUBSYS_00000000&REV_01";
        text += "\r\n[" + device + "]\r\n\r\n[" + device + "\\BUS_00&DEV_0" + std::to_string(i % 10) +
                "&FUNC_00]\r\n\"DeviceDesc\"=\"Device " + std::to_string(i) +
                "\"\r\n\"Driver\"=\"OTHER\\\\" + std::to_string(1000 + i % 9000) +
                "\"\r\n\"ConfigFlags\"=hex:00,00,00,00\r\n";
    }
    std::string card = "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10";
    for (int instance = 0; instance < 4; ++instance) {
        std::string name = "BUS_0" + std::to_string(instance) + "&DEV_0B&FUNC_00";
        text += "\r\n[" + card + "\\" + name + "]\r\n\"Driver\"=\"MEDIA\\\\000" + std::to_string(instance) + "\"\r\n";
        for (const char* companion : {"*PNPB02F", "SSC-DOSEMU", "SSC-SBEMU"}) {
            text += "\r\n[HKEY_LOCAL_MACHINE\\Enum\\VIRTUAL\\" + std::string(companion) +
                    "\\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&" + name + "]\r\n\"Driver\"=\"MEDIA\\\\00" +
                    std::to_string(10 + instance) + "\"\r\n";
        }
    }
    for (int i = 0; i < 20; ++i) {
        std::string cls = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\00" +
                          std::string(i < 10 ? "0" : "") + std::to_string(i);
        text += "\r\n[" + cls + "]\r\n\"InfPath\"=\"oem" + std::to_string(i) + ".inf\"\r\n";
        text += "\r\n[" + cls + "\\Drivers]\r\n\"SubClasses\"=\"wave,midi,mixer,aux\"\r\n";
        text += "\r\n[" + cls + "\\Drivers\\wave]\r\n\r\n[" + cls + "\\Drivers\\wave\\cmpci95.drv]\r\n";
    }
    std::string mixers = "HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control";
    text += "\r\n[" + mixers + "]\r\n";
    for (int i = 0; i < 2000; ++i)
        text += "\r\n[" + mixers + "\\Mixer " + std::to_string(i) + "]\r\n\"Line\"=dword:00000001\r\n";
    text += "\r\n[" + mixers + "\\C-Media Audio Mixer]\r\n\r\n";
    return text;
}

double Milliseconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main()
{
    for (int devices : {1000, 10000, 50000}) {
        std::string text = LargeRegistry(devices);
        auto start = std::chrono::steady_clock::now();
        emulated::Registry registry;
        emulated::LoadResult loaded = emulated::LoadRegedit4(text, registry);
        double load = Milliseconds(start);
        if (!loaded.ok) {
            std::printf("load failed at line %u: %s\n", loaded.line, loaded.message.c_str());
            return 1;
        }

        emulated::Journal journal;
        emulated::MachineOptions options;
        options.dryRun = true;
        emulated::EmulatedMachine machine(registry, "/nonexistent", options, journal);
        RunState state(machine);
        start = std::chrono::steady_clock::now();
        RunUninstaller(state, "silent");
        double run = Milliseconds(start);

        start = std::chrono::steady_clock::now();
        std::string saved = emulated::SaveRegedit4(registry);
        double save = Milliseconds(start);

        std::printf("%6d PCI devices, %8zu bytes: load %8.1f ms, run %7.2f ms (%u keys removed), save %7.1f ms\n",
                    devices, text.size(), load, run, journal.keysRemoved(), save);
    }
    return 0;
}
