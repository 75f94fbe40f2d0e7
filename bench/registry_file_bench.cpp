// Whole runs of the offline program on generated Windows 98 machines of 10 thousand to 1 million registry
// keys, against the floor of copying the registry file: read it whole, write it unchanged to a new file in
// the same folder, fsync, rename over the old one. A whole run is what the offline program does: load the
// machine, run the removal, save the registry file.
//
// Each floor and each run happens in a forked child, the two side by side for every repetition, each on a
// fresh copy of the machine; times are the best of the repetitions. The child's VmHWM is its peak memory,
// so the peaks of different sizes are independent; an idle child shows the fixed overhead in that figure.
//
// Then the same on a machine with Windows 98's own registry files: the generated registry.reg goes through
// --import into WINDOWS/SYSTEM.DAT and USER.DAT, the floor is copying SYSTEM.DAT, and the run saves both.
// Last, the registry of the Windows ME pair in tests/data/real-registry, exported, with the example machine's
// keys (the card's among them) added, through --import into SYSTEM.DAT and USER.DAT: a real machine's keys.
//
// usage: registry_file_bench [--quick] [--sizes N,N,...] [--repeat N] [--no-wide] [--dat-keys N]
//                            [--no-dat | --dat-only] [--no-winme]
//                            [--generate DIR [--media-devices N] [--binary]]
//   --quick     one repetition at 10,000 keys only, in both forms (the build's test runs this)
//   --sizes     numbers of keys (default 10000,30000,100000,300000,1000000)
//   --repeat    repetitions per size (default 3)
//   --no-wide   leave out the machine whose Enum\PCI holds 100,000 devices, the card's last, and whose
//               Volume Control holds 2,000 mixers' settings before the card's
//   --generate  only write the machine of the first size into DIR (a new folder), for a look or a run of
//               the offline program
//   --media-devices N  with --generate: N PCI devices whose Driver values name MEDIA classes, the card's
//               device key after them (the machine the whole-run benchmark, run_cost_bench.py, measures)
//   --binary    with --generate: WINDOWS/SYSTEM.DAT and USER.DAT instead of registry.reg
//   --dat-keys  keys of the machine with SYSTEM.DAT and USER.DAT (default 88,000: a SYSTEM.DAT of about
//               10 MB)
//   --no-dat    leave that machine out
//   --dat-only  measure that machine and the Windows ME one only
//   --no-winme  leave out the Windows ME machine
//
// Exit code 0 unless a run failed or left the card in place; the targets are reported, never enforced.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "offline/transfer.h"
#include "registry/regedit4.h"
#include "run/run.h"
#include "machine/machine.h"
#include "machine/machine_folder.h"

namespace fs = std::filesystem;

namespace {

// --- Writing a REGEDIT4 file as regedit does ---

// Streams a registry file: "REGEDIT4", then per key a blank line, the key line and its value lines, all
// with CRLF line ends, and a blank line at the end. Counts the key lines.
class RegFileWriter {
public:
    explicit RegFileWriter(const fs::path& file) : out_(std::fopen(file.c_str(), "wb")) { buffer_ = "REGEDIT4\r\n"; }
    ~RegFileWriter()
    {
        if (out_ != nullptr)
            std::fclose(out_);
    }
    RegFileWriter(const RegFileWriter&) = delete;
    RegFileWriter& operator=(const RegFileWriter&) = delete;

    long keys() const { return keys_; }

    void Key(std::string_view path)
    {
        buffer_ += "\r\n[";
        buffer_ += path;
        buffer_ += "]\r\n";
        ++keys_;
        Spill();
    }

    void Comment(std::string_view text)
    {
        buffer_ += "; ";
        buffer_ += text;
        buffer_ += "\r\n";
    }

    // Text in the form of the fixed parts: LF line ends, each key line after a blank line.
    void Text(std::string_view text)
    {
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') {
                buffer_ += "\r\n";
                if (i + 1 < text.size() && text[i + 1] == '[')
                    ++keys_;
            } else {
                buffer_ += text[i];
            }
        }
        Spill();
    }

    // Value lines in regedit's form, written by the program's own writer.
    void String(std::string_view name, std::string_view text)
    {
        emulated::AppendRegedit4Value(buffer_, {std::string(name), REG_SZ, std::string(text) + '\0'});
    }

    void Default(std::string_view text) { String({}, text); }

    void Dword(std::string_view name, std::uint32_t number)
    {
        std::string bytes(4, '\0');
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
        emulated::AppendRegedit4Value(buffer_, {std::string(name), REG_DWORD, bytes});
    }

    void Hex(std::string_view name, const std::vector<unsigned char>& bytes)
    {
        emulated::AppendRegedit4Value(buffer_,
                                      {std::string(name), REG_BINARY, std::string(bytes.begin(), bytes.end())});
    }

    bool Finish()
    {
        buffer_ += "\r\n";
        bool written = out_ != nullptr && Flush();
        if (out_ != nullptr)
            written = std::fclose(out_) == 0 && written;
        out_ = nullptr;
        return written;
    }

private:
    void Spill()
    {
        if (buffer_.size() >= (1u << 20))
            Flush();
    }

    bool Flush()
    {
        bool written = out_ != nullptr && std::fwrite(buffer_.data(), 1, buffer_.size(), out_) == buffer_.size();
        buffer_.clear();
        return written;
    }

    std::FILE* out_;
    std::string buffer_;
    long keys_ = 0;
};

// --- The generated machine ---

// A small deterministic generator (xorshift64), so that every run of the benchmark sees the same machines.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) { }
    std::uint32_t Next()
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<std::uint32_t>(state_ >> 16);
    }
    unsigned Below(unsigned limit) { return Next() % limit; }
    std::vector<unsigned char> Bytes(std::size_t count)
    {
        std::vector<unsigned char> bytes(count);
        for (unsigned char& byte : bytes)
            byte = static_cast<unsigned char>(Next() & 0xFF);
        return bytes;
    }

private:
    std::uint64_t state_;
};

std::string Format(const char* format, long a, long b = 0, long c = 0)
{
    char text[256];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// --- The example machine's keys, the fixed part of every generated machine ---

// The parts of examples/machine/registry.reg that a generated machine is built around, in file order. A part
// runs from the key line named here to the next part's. In the file the PCI neighbours stand on both sides
// of the card's device key; a generated machine puts them all first and the card among its own devices.
namespace part {
enum Id {
    kEnumRoot,        // Enum and Enum\Root with the system board
    kPciBefore,       // Enum\PCI with the neighbours before the card
    kCardDevice,      // the card's device key with its instance
    kPciAfter,        // the neighbours after the card
    kVirtual,         // both game ports, the card's DOS and Sound Blaster emulations, the kernel audio device
    kSoftware,        // the SOFTWARE key
    kCurrentVersion,  // SOFTWARE\Microsoft\Windows\CurrentVersion and the uninstall entries
    kSystem,          // System\CurrentControlSet: the multimedia resources and the Class key
    kClassDisplay,
    kClassHdc,
    kClassMedia,  // the other card's class 0000, the card's 0001 to 0004, game port 0005, kernel audio 0006
    kClassModem,
    kClassNet,
    kClassSystem,
    kDefaultUser,          // HKEY_USERS\.Default and its Control Panel
    kDefaultUserSoftware,  // the default user's software keys down to Volume Control, the other card's mixer
    kCardMixer,            // the card's mixer settings
    kWordPad,
    kPartCount,
    kNoPart = kPartCount,
};
}  // namespace part
using Part = part::Id;

const char* const kPartKeys[part::kPartCount] = {
    "HKEY_LOCAL_MACHINE\\Enum",
    "HKEY_LOCAL_MACHINE\\Enum\\PCI",
    "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10",
    "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0211&SUBSYS_021113F6&REV_00",
    "HKEY_LOCAL_MACHINE\\Enum\\VIRTUAL",
    "HKEY_LOCAL_MACHINE\\SOFTWARE",
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft",
    "HKEY_LOCAL_MACHINE\\System",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\DISPLAY",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\hdc",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Modem",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Net",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\System",
    "HKEY_USERS\\.Default",
    "HKEY_USERS\\.Default\\Software",
    "HKEY_USERS\\.Default\\Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control\\C-Media Audio Mixer",
    "HKEY_USERS\\.Default\\Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\WordPad",
};

// The parts' texts, with LF line ends: each starts with the blank line before its first key line and ends
// with the line end of its last value. False when the file is missing or a part's key line is not in order.
bool ReadStudioParts(const fs::path& file, std::vector<std::string>& parts)
{
    std::ifstream in(file, std::ios::binary);
    std::string text;
    for (char c : std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())) {
        if (c != '\r')
            text += c;
    }
    while (text.size() >= 2 && text.compare(text.size() - 2, 2, "\n\n") == 0)
        text.pop_back();
    std::size_t starts[part::kPartCount + 1];
    starts[part::kPartCount] = text.size();
    for (int index = 0; index < part::kPartCount; ++index) {
        starts[index] = text.find("\n\n[" + std::string(kPartKeys[index]) + "]\n", index == 0 ? 0 : starts[index - 1]);
        if (starts[index] == std::string::npos)
            return false;
        ++starts[index];  // from the blank line before the key line
    }
    parts.clear();
    for (int index = 0; index < part::kPartCount; ++index)
        parts.push_back(text.substr(starts[index], starts[index + 1] - starts[index]));
    return true;
}

const std::string kHklm = "HKEY_LOCAL_MACHINE";
const std::string kDefaultUser = "HKEY_USERS\\.Default";

// Driver classes of the generated devices; device g is an instance of class g % 16, numbered from 0100.
struct DriverClass {
    const char* name;
    const char* description;
    const char* provider;
    Part fixed;  // the example machine's class key with its instances, or kNoPart
};
const DriverClass kClasses[] = {
    {"CDROM", "CD-ROM", "Microsoft", part::kNoPart},
    {"DiskDrive", "Disk drives", "Microsoft", part::kNoPart},
    {"DISPLAY", "Display adapters", "NVIDIA", part::kClassDisplay},
    {"fdc", "Floppy disk controllers", "Microsoft", part::kNoPart},
    {"hdc", "Hard disk controllers", "Microsoft", part::kClassHdc},
    {"Image", "Imaging devices", "Microsoft", part::kNoPart},
    {"Keyboard", "Keyboard", "Microsoft", part::kNoPart},
    {"MEDIA", "Sound, video and game controllers", "Creative", part::kClassMedia},
    {"Modem", "Modem", "C-Media", part::kClassModem},
    {"Monitor", "Monitors", "Microsoft", part::kNoPart},
    {"Mouse", "Mouse", "Microsoft", part::kNoPart},
    {"Net", "Network adapters", "Realtek", part::kClassNet},
    {"Ports", "Ports (COM & LPT)", "Microsoft", part::kNoPart},
    {"Printer", "Printers", "Microsoft", part::kNoPart},
    {"System", "System devices", "Microsoft", part::kClassSystem},
    {"USB", "Universal serial bus controller", "Microsoft", part::kNoPart},
};
constexpr long kClassCount = sizeof kClasses / sizeof kClasses[0];
constexpr long kFirstGeneratedInstance = 100;
constexpr long kMediaClass = 7;

struct PciVendor {
    unsigned id;
    const char* name;
};
const PciVendor kVendors[] = {
    {0x8086, "Intel"},
    {0x10DE, "NVIDIA"},
    {0x1274, "Creative Technology Ltd."},
    {0x10EC, "Realtek"},
    {0x1002, "ATI"},
    {0x5333, "S3 Incorporated"},
    {0x121A, "3Dfx Interactive"},
    {0x1106, "VIA Technologies"},
    {0x1039, "SiS"},
    {0x10B7, "3Com"},
    {0x1102, "Creative Labs"},
    {0x104C, "Texas Instruments"},
};
constexpr long kVendorCount = sizeof kVendors / sizeof kVendors[0];

// What to generate: `keys` keys in all; `pciDevices` > 0 fixes the number of Enum\PCI devices, else they
// are 3% of the keys. The card's device key comes halfway through Enum\PCI, or last with `cardLast`.
// `mixers` more mixers' settings come before the card's in Volume Control.
struct MachineShape {
    const char* family;
    long keys;
    long pciDevices = 0;
    bool cardLast = false;
    long mixers = 0;
    bool binary = false;  // WINDOWS/SYSTEM.DAT and USER.DAT instead of registry.reg
    bool winme = false;   // the Windows ME pair's registry with the example's keys added, not a generated one
    bool mediaOnly = false;  // every generated device names an instance of MEDIA, the card's class
};

// Keys that PCI devices bring: the device key, one instance key, a LogConfig key for every other instance
// (none for the lean devices of a MEDIA-only machine), and the driver class instance.
long PciKeys(long devices, bool lean)
{
    return devices * 3 + (lean ? 0 : (devices + 1) / 2);
}

class MachineGenerator {
public:
    MachineGenerator(RegFileWriter& out, const MachineShape& shape, const std::vector<std::string>& parts)
        : out_(out), parts_(parts), random_(0x9E3779B97F4A7C15ull)
    {
        // The shares of the other parts apply to the keys that the PCI devices leave.
        long rest = shape.pciDevices > 0 ? std::max(shape.keys - PciKeys(shape.pciDevices, shape.mediaOnly), 0L)
                                         : shape.keys;
        pciDevices_ = shape.pciDevices > 0 ? shape.pciDevices : rest * 3 / 100 + 1;
        rootDevices_ = rest * 2 / 100;
        total_ = std::max(shape.keys, PciKeys(pciDevices_, shape.mediaOnly));
        rest_ = rest;
        cardLast_ = shape.cardLast;
        mixers_ = shape.mixers;
        mediaOnly_ = shape.mediaOnly;
    }

    void Write()
    {
        out_.Comment("Studio machine: Windows 98 with the C-Media PCI sound card installed");
        out_.Text(parts_[part::kEnumRoot]);
        RootDevices();
        PciDevices();
        out_.Text(parts_[part::kVirtual]);
        out_.Text(parts_[part::kSoftware]);
        SoftwareClasses(Share(6), Share(30), Share(12));
        out_.Text(parts_[part::kCurrentVersion]);
        UninstallEntries(Share(1));
        MachineSoftware(Share(12));
        out_.Text(parts_[part::kSystem]);
        DriverClasses();
        out_.Comment("The default user");
        out_.Text(parts_[part::kDefaultUser]);
        AppEvents(Share(6));
        out_.Text(parts_[part::kDefaultUserSoftware]);
        Mixers();
        out_.Text(parts_[part::kCardMixer]);
        out_.Text(parts_[part::kWordPad]);
        UserSoftware(total_ - out_.keys());
    }

private:
    long Share(long percent) const { return rest_ * percent / 100; }
    long DeviceCount() const { return rootDevices_ + pciDevices_; }

    // The driver class of device g, and its instance of that class.
    long ClassOf(long device) const { return mediaOnly_ ? kMediaClass : device % kClassCount; }
    long InstanceOf(long device) const
    {
        return kFirstGeneratedInstance + (mediaOnly_ ? device : device / kClassCount);
    }
    // The Driver value of device g: its instance of a driver class.
    std::string DriverOf(long device) const
    {
        return std::string(kClasses[ClassOf(device)].name) + "\\" + Format("%04ld", InstanceOf(device));
    }

    void RootDevices()
    {
        for (long i = 0; i < rootDevices_; ++i) {
            const long device = i;
            std::string type = kHklm + "\\Enum\\Root\\" + Format("*PNP%04lX", 0x1000 + i);
            out_.Key(type);
            out_.Key(type + "\\0000");
            out_.String("Class", kClasses[ClassOf(device)].name);
            out_.String("DeviceDesc",
                        std::string(kClasses[ClassOf(device)].description) + " (legacy) " + std::to_string(i));
            out_.String("HardwareID", Format("*PNP%04lX", 0x1000 + i));
            out_.String("Mfg", "(Standard system devices)");
            out_.Hex("ConfigFlags", {0, 0, 0, 0});
            out_.String("Driver", DriverOf(device));
        }
    }

    void PciDevices()
    {
        out_.Text(parts_[part::kPciBefore]);
        out_.Text(parts_[part::kPciAfter]);
        const long cardAt = cardLast_ ? pciDevices_ : pciDevices_ / 2;
        for (long i = 0; i < pciDevices_; ++i) {
            if (i == cardAt)
                out_.Text(parts_[part::kCardDevice]);
            PciDevice(i, rootDevices_ + i);
        }
        if (cardAt == pciDevices_)
            out_.Text(parts_[part::kCardDevice]);
    }

    void PciDevice(long i, long device)
    {
        const PciVendor& vendor = kVendors[i % kVendorCount];
        const unsigned id = static_cast<unsigned>((i * 40503 + 0x0100) & 0xFFFF);
        const unsigned revision = static_cast<unsigned>(i % 7);
        char ids[96];
        std::snprintf(ids, sizeof ids, "VEN_%04X&DEV_%04X", vendor.id, id);
        char subsys[32];
        std::snprintf(subsys, sizeof subsys, "SUBSYS_%08lX", static_cast<unsigned long>(i));
        char rev[16];
        std::snprintf(rev, sizeof rev, "REV_%02X", revision);
        const std::string venDev = ids;
        const std::string key = kHklm + "\\Enum\\PCI\\" + venDev + "&" + subsys + "&" + rev;
        out_.Key(key);
        const std::string instance = key + "\\" + Format("BUS_%02lX&DEV_%02lX&FUNC_%02lX", i / 32 % 256, i % 32, i % 2);
        out_.Key(instance);
        if (mediaOnly_) {
            out_.String("Class", kClasses[ClassOf(device)].name);
            out_.String("Driver", DriverOf(device));
            return;
        }
        const long classCode = 0x010000 + ClassOf(device) * 0x100;
        const std::string vendorOnly = Format("PCI\\VEN_%04lX", static_cast<long>(vendor.id));
        const std::string cc = Format("CC_%06lX", classCode);
        const std::string cc4 = cc.substr(0, 7);
        out_.String("DeviceDesc", std::string(vendor.name) + " " + kClasses[ClassOf(device)].description + " " +
                                      std::to_string(i));
        out_.String("Class", kClasses[ClassOf(device)].name);
        out_.String("HardwareID", "PCI\\" + venDev + "&" + subsys + "&" + rev + ",PCI\\" + venDev + "&" + subsys +
                                      ",PCI\\" + venDev + "&" + rev + ",PCI\\" + venDev);
        out_.String("CompatibleIDs", "PCI\\" + venDev + "&" + rev + ",PCI\\" + venDev + "," + vendorOnly + "&" + cc +
                                         "," + vendorOnly + "&" + cc4 + "," + vendorOnly + ",PCI\\" + cc + ",PCI\\" +
                                         cc4);
        out_.String("Mfg", vendor.name);
        out_.Hex("ConfigFlags", {0, 0, 0, 0});
        out_.String("HWRevision", Format("%03ld", static_cast<long>(revision)));
        out_.String("Driver", DriverOf(device));
        if (i % 2 == 0) {
            out_.Key(instance + "\\LogConfig");
            out_.Hex("0000", random_.Bytes(76));
        }
    }

    // Software\Classes: file extensions, then CLSID with its class keys, then program identifiers.
    void SoftwareClasses(long extensionKeys, long clsidKeys, long progIdKeys)
    {
        const std::string classes = kHklm + "\\SOFTWARE\\Classes";
        out_.Key(classes);
        long progIds = progIdKeys / 6 + 1;
        const long start = out_.keys();
        for (long i = 0; out_.keys() - start < extensionKeys; ++i) {
            const std::string key = classes + "\\." + Letters(i);
            out_.Key(key);
            out_.Default(ProgIdName(i % progIds));
            if (i % 3 == 0)
                out_.String("Content Type", "application/x-" + Letters(i));
            if (i % 10 == 0) {
                out_.Key(key + "\\ShellNew");
                out_.String("NullFile", "");
            }
        }
        out_.Key(classes + "\\CLSID");
        const long clsidStart = out_.keys();
        long clsids = 0;
        for (; out_.keys() - clsidStart < clsidKeys; ++clsids) {
            const std::string key = classes + "\\CLSID\\" + Guid(clsids);
            out_.Key(key);
            out_.Default("Component " + std::to_string(clsids) + " Object");
            out_.Key(key + "\\InprocServer32");
            out_.Default("C:\\WINDOWS\\SYSTEM\\COMP" + std::to_string(clsids % 4000) + ".DLL");
            out_.String("ThreadingModel", clsids % 4 == 0 ? "Both" : "Apartment");
            if (clsids % 3 == 0) {
                out_.Key(key + "\\ProgID");
                out_.Default(ProgIdName(clsids % progIds) + ".1");
            }
        }
        for (long i = 0; i < progIds; ++i) {
            const std::string key = classes + "\\" + ProgIdName(i);
            out_.Key(key);
            out_.Default("Document type " + std::to_string(i));
            if (i % 4 == 0)
                out_.Hex("EditFlags", {0x00, 0x00, 0x01, 0x00});
            out_.Key(key + "\\CLSID");
            out_.Default(Guid(i % std::max(clsids, 1L)));
            const std::string program =
                "C:\\Program Files\\Vendor" + Format("%04ld", i % 500) + "\\APP" + std::to_string(i % 7) + ".EXE";
            out_.Key(key + "\\DefaultIcon");
            out_.Default(program + "," + std::to_string(i % 5));
            out_.Key(key + "\\shell");
            out_.Key(key + "\\shell\\open");
            out_.Key(key + "\\shell\\open\\command");
            out_.Default("\"" + program + "\" \"%1\"");
        }
    }

    void UninstallEntries(long keys)
    {
        const std::string uninstall = kHklm + "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
        for (long i = 0; i < keys; ++i) {
            out_.Key(uninstall + Format("Application%05ld", i));
            out_.String("DisplayName", "Application " + std::to_string(i));
            out_.String("UninstallString", "C:\\Program Files\\Application" + std::to_string(i) + "\\UNINST.EXE");
        }
    }

    // Vendors below HKEY_LOCAL_MACHINE\SOFTWARE: products with sections holding binary settings.
    void MachineSoftware(long keys)
    {
        const long start = out_.keys();
        for (long v = 0; out_.keys() - start < keys; ++v) {
            const std::string vendor = kHklm + "\\SOFTWARE\\" + Format("Vendor%04ld", v);
            out_.Key(vendor);
            for (long p = 0; p < 5; ++p) {
                const std::string product = vendor + Format("\\Product%ld", p);
                out_.Key(product);
                out_.String("Version", Format("%ld.%02ld", 1 + p, v % 100));
                out_.String("InstallDir", "C:\\Program Files\\" + Format("Vendor%04ld\\Product%ld", v, p));
                for (long s = 0; s < 8; ++s) {
                    out_.Key(product + Format("\\Section%ld", s));
                    out_.Hex("Data", random_.Bytes(16 + random_.Below(100)));
                    out_.Dword("Flags", random_.Next());
                    out_.String("Name", Format("Section %ld of product %ld", s, p));
                }
            }
        }
    }

    // Services\Class: every class with the example machine's instances, then one instance per generated
    // device.
    void DriverClasses()
    {
        const std::string classRoot = kHklm + "\\System\\CurrentControlSet\\Services\\Class\\";
        for (long c = 0; c < kClassCount; ++c) {
            const DriverClass& driverClass = kClasses[c];
            if (driverClass.fixed != part::kNoPart) {
                out_.Text(parts_[driverClass.fixed]);
            } else {
                out_.Key(classRoot + driverClass.name);
                out_.Default(driverClass.description);
                out_.String("Icon", std::to_string(-static_cast<int>(c) - 1));
                out_.String("Installer", "SetupX.Dll, " + std::string(driverClass.name) + "_ClassInstaller");
            }
            for (long device = 0; device < DeviceCount(); ++device) {
                if (ClassOf(device) != c)
                    continue;
                out_.Key(classRoot + DriverOf(device));
                out_.String("DriverDesc", std::string(driverClass.description) + " " + std::to_string(device));
                out_.String("InfPath", Format("drv%ld.inf", c));
                out_.String("InfSection", Format("Install%ld", device % 50));
                out_.String("ProviderName", driverClass.provider);
                out_.String("DriverDate", " 4-23-1999");
                out_.String("DevLoader", "*configmg");
            }
        }
    }

    // AppEvents\Schemes\Apps: applications with events, each with its current and default sound.
    void AppEvents(long keys)
    {
        const std::string apps = kDefaultUser + "\\AppEvents\\Schemes\\Apps";
        out_.Key(kDefaultUser + "\\AppEvents");
        out_.Key(kDefaultUser + "\\AppEvents\\Schemes");
        out_.Key(apps);
        const long start = out_.keys();
        for (long a = 0; out_.keys() - start < keys; ++a) {
            const std::string app = apps + Format("\\Application%04ld", a);
            out_.Key(app);
            out_.Default("Application " + std::to_string(a));
            for (long e = 0; e < 6; ++e) {
                const std::string event = app + Format("\\Event%ld", e);
                out_.Key(event);
                out_.Key(event + "\\.Current");
                out_.Default(Format("C:\\WINDOWS\\MEDIA\\Sound%ld.wav", (a + e) % 40));
                out_.Key(event + "\\.Default");
                out_.Default(Format("C:\\WINDOWS\\MEDIA\\Sound%ld.wav", e));
            }
        }
    }

    void Mixers()
    {
        const std::string volumeControl =
            kDefaultUser + "\\Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control\\";
        for (long i = 0; i < mixers_; ++i) {
            out_.Key(volumeControl + Format("Mixer %ld", i));
            out_.Hex("Options", {0x05, 0x00, 0x00, 0x00});
            out_.Hex("Window", random_.Bytes(12));
            out_.String("Style", "0");
            out_.String("Line0", "Wave,CD Audio,Line In");
        }
    }

    // Vendors below the default user's Software, up to exactly `keys` keys: recent files and window places.
    void UserSoftware(long keys)
    {
        const std::string software = kDefaultUser + "\\Software\\";
        long v = 0;
        for (; keys >= 10; ++v, keys -= 10) {
            const std::string vendor = software + Format("Vendor%04ld", v);
            out_.Key(vendor);
            for (long p = 0; p < 3; ++p) {
                const std::string product = vendor + Format("\\Product%ld", p);
                out_.Key(product);
                out_.Key(product + "\\Recent File List");
                for (long f = 1; f <= 4; ++f)
                    out_.String(Format("File%ld", f), Format("C:\\My Documents\\Project%ld\\File%ld.DOC", v, f));
                out_.Key(product + "\\Settings");
                out_.Hex("Window", random_.Bytes(44));
                out_.Dword("Options", random_.Next());
            }
        }
        for (; keys > 0; ++v, --keys) {
            out_.Key(software + Format("Vendor%04ld", v));
            out_.String("Installed", "1");
        }
    }

    // Base-26 letters, at least three: aaa, aab, ...
    static std::string Letters(long n)
    {
        std::string text;
        do {
            text.insert(text.begin(), static_cast<char>('a' + n % 26));
            n /= 26;
        } while (n > 0);
        while (text.size() < 3)
            text.insert(text.begin(), 'a');
        return text;
    }

    static std::string ProgIdName(long i) { return Format("Vendor%04ld.Document%ld", i % 500, i); }

    // A class identifier, distinct for every n (the first group is a bijection of n).
    static std::string Guid(long n)
    {
        const std::uint32_t first = static_cast<std::uint32_t>(n) * 2654435761u;
        std::uint64_t rest = static_cast<std::uint64_t>(n) * 0x9E3779B97F4A7C15ull + 0x5DEECE66Dull;
        char text[48];
        std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(first),
                      static_cast<unsigned>(rest & 0xFFFF), static_cast<unsigned>((rest >> 16) & 0xFFFF),
                      static_cast<unsigned>((rest >> 32) & 0xFFFF),
                      static_cast<unsigned long long>((rest * 31) & 0xFFFFFFFFFFFFull));
        return text;
    }

    RegFileWriter& out_;
    const std::vector<std::string>& parts_;
    Random random_;
    long pciDevices_ = 0;
    long rootDevices_ = 0;
    long rest_ = 0;
    long total_ = 0;
    bool cardLast_ = false;
    long mixers_ = 0;
    bool mediaOnly_ = false;
};

// The Windows folder: the card's files and the example machine's other files, with some hundreds more in
// SYSTEM and INF as on a used machine. Contents are small placeholders.
bool WriteWindowsFolder(const fs::path& windows)
{
    const char* const windowsFiles[] = {"CLDRUNE.EXE", "NOTEPAD.EXE", "REGEDIT.EXE", "SYSTEM.INI", "WIN.INI"};
    const char* const systemFiles[] = {"A3D.DLL",      "A3DAPI.DLL",   "CMAUDIO.VXD",  "CMPCIFM.DRV", "CMSWMPU.VXD",
                                       "ES1371MP.SYS", "MMSYSTEM.DLL", "MSJSTICK.DRV", "RTL8139.SYS", "SMIDI32.DLL",
                                       "VJOYD.VXD",    "WDMAUD.DRV",   "c3d.dll",      "cmmpu.exe",   "cmmpupci.drv",
                                       "cmpci95.drv",  "nvdisp.drv"};
    const char* const infFiles[] = {"MACHINE.INF", "MSHDC.INF", "MSJSTICK.INF", "OEM0.INF", "OEM2.INF",
                                    "OEM3.INF",    "OEM5.INF",  "WDMAUDIO.INF", "oem1.inf", "oem4.inf"};
    const char* const otherFiles[] = {"CreativeES1371.INF", "NVIDIANV4.INF", "OEM4.INF", "oem3.inf"};

    std::error_code status;
    fs::create_directories(windows / "SYSTEM", status);
    fs::create_directories(windows / "INF" / "OTHER", status);
    bool ok = !status;
    auto file = [&ok](const fs::path& path) {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        if (out == nullptr) {
            ok = false;
            return;
        }
        std::string text = "placeholder for " + path.filename().string() + "\r\n";
        ok = std::fwrite(text.data(), 1, text.size(), out) == text.size() && ok;
        ok = std::fclose(out) == 0 && ok;
    };
    for (const char* name : windowsFiles)
        file(windows / name);
    for (const char* name : systemFiles)
        file(windows / "SYSTEM" / name);
    for (const char* name : infFiles)
        file(windows / "INF" / name);
    for (const char* name : otherFiles)
        file(windows / "INF" / "OTHER" / name);
    for (long i = 0; i < 500; ++i)
        file(windows / "SYSTEM" / Format("SYS%05ld.DLL", i));
    for (long i = 0; i < 200; ++i)
        file(windows / "INF" / Format("DRV%03ld.INF", i));
    return ok;
}

// Writes the machine folder; returns the number of keys written, or -1.
long GenerateMachine(const fs::path& folder, const MachineShape& shape, const std::vector<std::string>& parts)
{
    RegFileWriter out(folder / "registry.reg");
    MachineGenerator(out, shape, parts).Write();
    if (!out.Finish() || !WriteWindowsFolder(folder / "WINDOWS"))
        return -1;
    return out.keys();
}

// --- Measuring in a child ---

struct Measure {
    bool ok = false;
    double floorMs = 0;
    double loadMs = 0;
    double logicMs = 0;
    double saveMs = 0;
    unsigned keysRemoved = 0;
    unsigned filesSaved = 0;
    long peakKb = 0;
    char error[240] = {};

    double runMs() const { return loadMs + logicMs + saveMs; }
};

double MillisecondsSince(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// This process's peak resident memory in KiB.
long PeakKb()
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return 0;
    char line[256];
    long peak = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            peak = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(status);
    return peak;
}

void SetError(Measure& measure, const std::string& error)
{
    std::snprintf(measure.error, sizeof measure.error, "%s", error.c_str());
}

// Runs `work` in a forked child and returns what it measured, with the child's peak memory.
template <typename Work> Measure InChild(Work work)
{
    Measure measure;
    int channel[2];
    if (pipe(channel) != 0) {
        SetError(measure, "no pipe");
        return measure;
    }
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        Measure result = work();
        result.peakKb = PeakKb();
        ssize_t written = write(channel[1], &result, sizeof result);
        _exit(written == static_cast<ssize_t>(sizeof result) ? 0 : 1);
    }
    close(channel[1]);
    if (child < 0) {
        close(channel[0]);
        SetError(measure, "cannot fork");
        return measure;
    }
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(sizeof measure)) {
        ssize_t n = read(channel[0], reinterpret_cast<char*>(&measure) + got, sizeof measure - got);
        if (n <= 0)
            break;
        got += n;
    }
    close(channel[0]);
    int childStatus = 0;
    waitpid(child, &childStatus, 0);
    if (got != static_cast<ssize_t>(sizeof measure)) {
        measure = Measure();
        SetError(measure, "the child ended without a report (status " + std::to_string(childStatus) + ")");
    }
    return measure;
}

// The floor: read the file whole, write it unchanged to a new file in the same folder, fsync, rename.
Measure CopyFloor(const fs::path& file)
{
    Measure measure;
    auto start = std::chrono::steady_clock::now();
    int in = open(file.c_str(), O_RDONLY);
    struct stat info { };
    if (in < 0 || fstat(in, &info) != 0) {
        SetError(measure, "cannot read " + file.string());
        return measure;
    }
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(in, text.data() + got, text.size() - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    close(in);
    fs::path temporary = file;
    temporary += ".floor";
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    bool written = got == text.size() && out != nullptr;
    if (out != nullptr) {
        written = std::fwrite(text.data(), 1, text.size(), out) == text.size() && written;
        written = std::fflush(out) == 0 && written;
        written = fsync(fileno(out)) == 0 && written;
        written = std::fclose(out) == 0 && written;
    }
    std::error_code status;
    if (written)
        fs::rename(temporary, file, status);
    measure.floorMs = MillisecondsSince(start);
    measure.ok = written && !status;
    if (!measure.ok)
        SetError(measure, "cannot copy " + file.string());
    return measure;
}

// The same machine with Windows 98's own registry files: the generated registry.reg is written into
// WINDOWS/SYSTEM.DAT and USER.DAT as --import writes them, then removed. Returns the number of keys, or -1.
long GenerateBinaryMachine(const fs::path& folder, const MachineShape& shape, const std::vector<std::string>& parts,
                           std::string& error)
{
    const long keys = GenerateMachine(folder, shape, parts);
    if (keys < 0) {
        error = "cannot write the machine";
        return -1;
    }
    // Out of the machine folder, which must hold no registry for the import.
    const fs::path source = folder.parent_path() / "import.reg";
    std::error_code status;
    fs::rename(folder / "registry.reg", source, status);
    if (status) {
        error = "cannot move the generated registry.reg";
        return -1;
    }
    // In a child, so that the registry the import reads leaves nothing in this process's memory, which every
    // child measured later would count in its peak.
    const Measure imported = InChild([&] {
        Measure measure;
        std::vector<std::string> said;
        std::string importError;
        measure.ok = offline::ImportRegistry(source, folder, said, importError);
        SetError(measure, importError);
        return measure;
    });
    fs::remove(source, status);
    if (!imported.ok) {
        error = imported.error;
        return -1;
    }
    return keys;
}

// The registry of the Windows ME pair (tests/data/real-registry), exported, with the example machine's keys
// (the card's among them) added after it, written through --import into WINDOWS/SYSTEM.DAT and USER.DAT.
// Returns the number of keys, or -1.
long GenerateWinMeMachine(const fs::path& folder, const std::vector<std::string>& parts, std::string& error)
{
    const fs::path real = fs::path(CMPCI_SOURCE_DIR) / "tests" / "data" / "real-registry" / "winme";
    const fs::path exported = folder.parent_path() / "winme.reg";
    std::error_code status;
    // A machine folder for the export: the pair in its WINDOWS folder.
    const fs::path source = folder.parent_path() / "winme-source";
    fs::create_directories(source / "WINDOWS", status);
    for (const char* name : {"SYSTEM.DAT", "USER.DAT"})
        fs::copy_file(real / name, source / "WINDOWS" / name, fs::copy_options::overwrite_existing, status);
    Measure measure = InChild([&] {
        Measure step;
        std::vector<std::string> said;
        std::string stepError;
        step.ok = offline::ExportRegistry(source, "", exported.string(), said, stepError);
        SetError(step, stepError);
        return step;
    });
    fs::remove_all(source, status);
    if (!measure.ok) {
        error = "cannot export the Windows ME pair: " + std::string(measure.error);
        return -1;
    }
    {
        std::ofstream out(exported, std::ios::binary | std::ios::app);
        for (const std::string& part : parts)
            out << part;
        if (!out.flush()) {
            error = "cannot write " + exported.string();
            return -1;
        }
    }
    fs::create_directories(folder, status);
    if (!WriteWindowsFolder(folder / "WINDOWS")) {
        error = "cannot write the Windows folder";
        return -1;
    }
    measure = InChild([&] {
        Measure step;
        std::vector<std::string> said;
        std::string stepError;
        step.ok = offline::ImportRegistry(exported, folder, said, stepError);
        SetError(step, stepError);
        return step;
    });
    fs::remove(exported, status);
    if (!measure.ok) {
        error = measure.error;
        return -1;
    }
    emulated::Registry registry;
    emulated::MachineFolder machine;
    if (!emulated::OpenMachine(folder, "", registry, machine, error))
        return -1;
    long keys = 0;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_USERS}) {
        std::vector<std::string> pending {""};
        while (!pending.empty()) {
            const std::string path = std::move(pending.back());
            pending.pop_back();
            for (const std::string& name : registry.SubkeyNames(root, path)) {
                ++keys;
                pending.push_back(path.empty() ? name : path + "\\" + name);
            }
        }
    }
    return keys;
}

// A whole run of the offline program, silent, not a dry run.
Measure WholeRun(const fs::path& folder)
{
    Measure measure;
    auto start = std::chrono::steady_clock::now();
    emulated::Registry registry;
    emulated::MachineFolder machine;
    std::string error;
    bool ok = emulated::OpenMachine(folder, "", registry, machine, error);
    measure.loadMs = MillisecondsSince(start);
    if (!ok) {
        SetError(measure, error);
        return measure;
    }

    start = std::chrono::steady_clock::now();
    emulated::Journal journal;
    emulated::MachineOptions options;
    emulated::EmulatedMachine system(registry, machine.windowsFolder, options, journal);
    RunState state(system);
    RunUninstaller(state, "silent");
    measure.logicMs = MillisecondsSince(start);
    measure.keysRemoved = journal.keysRemoved();

    start = std::chrono::steady_clock::now();
    std::vector<std::string> saved;
    ok = emulated::SaveRegistryFiles(machine, registry, saved, error);
    measure.saveMs = MillisecondsSince(start);
    measure.filesSaved = static_cast<unsigned>(saved.size());
    if (!ok) {
        SetError(measure, error);
        return measure;
    }
    measure.ok = true;
    return measure;
}

// After a run: the saved machine opens again and the card's device key is gone.
Measure CardGone(const fs::path& folder)
{
    Measure measure;
    emulated::Registry registry;
    emulated::MachineFolder machine;
    std::string error;
    if (!emulated::OpenMachine(folder, "", registry, machine, error)) {
        SetError(measure, "the saved machine does not open: " + error);
        return measure;
    }
    measure.ok = !registry.KeyExists(HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10");
    if (!measure.ok)
        SetError(measure, "the card's device key is still there after the run");
    return measure;
}

// --- The benchmark ---

struct Row {
    std::string family;
    long keys = 0;
    double fileMb = 0;  // registry.reg, or SYSTEM.DAT
    double userMb = 0;  // USER.DAT
    Measure floor;      // the best floor
    Measure run;        // the best run
    long peakKb = 0;
    long idleKb = 0;  // an idle child forked just before, for the fixed part of the peak
};

bool FreshCopy(const fs::path& from, const fs::path& to)
{
    std::error_code status;
    fs::remove_all(to, status);
    fs::copy(from, to, fs::copy_options::recursive, status);
    return !status;
}

Measure Idle()
{
    return InChild([] {
        Measure nothing;
        nothing.ok = true;
        return nothing;
    });
}

bool Measured(const MachineShape& shape, const std::vector<std::string>& parts, const fs::path& scratch, int repeat,
              Row& row, std::string& error)
{
    const fs::path machine = scratch / "machine";
    const fs::path run = scratch / "run";
    const fs::path floor = scratch / "floor";
    std::error_code status;
    fs::create_directories(machine, status);
    fs::create_directories(floor, status);
    row.family = shape.family;
    // The floor copies the file holding the card's keys: registry.reg, or SYSTEM.DAT.
    const fs::path file = shape.binary ? fs::path("WINDOWS") / "SYSTEM.DAT" : fs::path("registry.reg");
    row.keys = shape.winme    ? GenerateWinMeMachine(machine, parts, error)
               : shape.binary ? GenerateBinaryMachine(machine, shape, parts, error)
                              : GenerateMachine(machine, shape, parts);
    if (row.keys < 0) {
        if (error.empty())
            error = "cannot write the machine";
        return false;
    }
    row.fileMb = static_cast<double>(fs::file_size(machine / file, status)) / (1024.0 * 1024.0);
    if (shape.binary)
        row.userMb = static_cast<double>(fs::file_size(machine / "WINDOWS" / "USER.DAT", status)) / (1024.0 * 1024.0);
    row.idleKb = Idle().peakKb;

    for (int i = 0; i < repeat; ++i) {
        // Both start from copies just written and flushed, so neither pays for the other's dirty pages.
        fs::copy_file(machine / file, floor / file.filename(), fs::copy_options::overwrite_existing, status);
        if (status || !FreshCopy(machine, run)) {
            error = "cannot copy the machine";
            return false;
        }
        sync();
        Measure floorMeasure = InChild([&] { return CopyFloor(floor / file.filename()); });
        if (!floorMeasure.ok) {
            error = floorMeasure.error;
            return false;
        }
        Measure runMeasure = InChild([&] { return WholeRun(run); });
        if (!runMeasure.ok) {
            error = runMeasure.error;
            return false;
        }
        if (runMeasure.keysRemoved == 0) {
            error = "the run removed no key: the card was not found";
            return false;
        }
        // The card has keys in every registry file: a REGEDIT4 file, or both SYSTEM.DAT and USER.DAT.
        if (runMeasure.filesSaved != (shape.binary ? 2u : 1u)) {
            error = "the run saved " + std::to_string(runMeasure.filesSaved) + " registry files";
            return false;
        }
        if (i == 0) {
            Measure gone = InChild([&] { return CardGone(run); });
            if (!gone.ok) {
                error = gone.error;
                return false;
            }
        }
        if (i == 0 || floorMeasure.floorMs < row.floor.floorMs)
            row.floor = floorMeasure;
        if (i == 0 || runMeasure.runMs() < row.run.runMs())
            row.run = runMeasure;
        row.peakKb = std::max(row.peakKb, runMeasure.peakKb);
    }
    return true;
}

double Mb(long kb)
{
    return static_cast<double>(kb) / 1024.0;
}

// Columns: time ratio run/floor ("x floor"), peak/file, and (peak - idle)/file ("-idle x file").
void PrintHeader()
{
    std::printf("%-8s %8s %8s %9s %9s %8s %8s %8s %7s %7s %8s %7s %6s %6s %7s\n", "family", "keys", "file MB",
                "floor ms", "run ms", "load", "logic", "save", "x floor", "ns/key", "peak MB", "idle MB", "x file",
                "-idle", "removed");
}

void PrintRow(const Row& row)
{
    std::printf("%-8s %8ld %8.1f %9.1f %9.1f %8.1f %8.1f %8.1f %7.2f %7.0f %8.1f %7.1f %6.2f %6.2f %7u\n",
                row.family.c_str(), row.keys, row.fileMb, row.floor.floorMs, row.run.runMs(), row.run.loadMs,
                row.run.logicMs, row.run.saveMs, row.run.runMs() / row.floor.floorMs,
                row.run.runMs() * 1e6 / static_cast<double>(row.keys), Mb(row.peakKb), Mb(row.idleKb),
                Mb(row.peakKb) / row.fileMb, (Mb(row.peakKb) - Mb(row.idleKb)) / row.fileMb, row.run.keysRemoved);
    std::fflush(stdout);
}

// The machine with binary registry files: the floor copies SYSTEM.DAT, the run saves both files; the peak
// is compared with both files together.
void PrintBinaryHeader()
{
    std::printf("%-8s %8s %9s %7s %9s %9s %8s %8s %8s %7s %7s %8s %7s %6s %6s %7s\n", "family", "keys", "SYSTEM MB",
                "USER MB",
                "floor ms", "run ms", "load", "logic", "save", "x floor", "ns/key", "peak MB", "idle MB", "x files",
                "-idle", "removed");
}

void PrintBinaryRow(const Row& row)
{
    const double filesMb = row.fileMb + row.userMb;
    std::printf("%-8s %8ld %9.1f %7.1f %9.1f %9.1f %8.1f %8.1f %8.1f %7.2f %7.0f %8.1f %7.1f %7.2f %6.2f %7u\n",
                row.family.c_str(), row.keys,
                row.fileMb, row.userMb, row.floor.floorMs, row.run.runMs(), row.run.loadMs, row.run.logicMs,
                row.run.saveMs, row.run.runMs() / row.floor.floorMs,
                row.run.runMs() * 1e6 / static_cast<double>(row.keys), Mb(row.peakKb), Mb(row.idleKb),
                Mb(row.peakKb) / filesMb, (Mb(row.peakKb) - Mb(row.idleKb)) / filesMb, row.run.keysRemoved);
    std::fflush(stdout);
}

bool ParseSizes(const char* text, std::vector<long>& sizes)
{
    sizes.clear();
    std::string_view rest = text;
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string word(rest.substr(0, comma));
        char* end = nullptr;
        long value = std::strtol(word.c_str(), &end, 10);
        if (word.empty() || *end != '\0' || value < 1000)
            return false;
        sizes.push_back(value);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return !sizes.empty();
}

const char* YesNo(bool yes)
{
    return yes ? "yes" : "NO";
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<long> sizes = {10000, 30000, 100000, 300000, 1000000};
    int repeat = 3;
    bool wide = true;
    bool regedit4 = true;
    bool binary = true;
    long binaryKeys = 88000;
    bool winme = true;
    std::string generate;
    long mediaDevices = 0;
    bool generateBinary = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view word = argv[i];
        std::vector<long> one;
        if (word == "--quick") {
            sizes = {10000};
            repeat = 1;
            wide = false;
            binaryKeys = 10000;
        } else if (word == "--sizes" && i + 1 < argc && ParseSizes(argv[i + 1], sizes)) {
            ++i;
        } else if (word == "--repeat" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            repeat = std::atoi(argv[++i]);
        } else if (word == "--no-wide") {
            wide = false;
        } else if (word == "--dat-keys" && i + 1 < argc && ParseSizes(argv[i + 1], one) && one.size() == 1) {
            binaryKeys = one[0];
            ++i;
        } else if (word == "--no-winme") {
            winme = false;
        } else if (word == "--no-dat") {
            binary = false;
        } else if (word == "--dat-only") {
            regedit4 = false;
        } else if (word == "--generate" && i + 1 < argc) {
            generate = argv[++i];
        } else if (word == "--media-devices" && i + 1 < argc && ParseSizes(argv[i + 1], one) && one.size() == 1) {
            mediaDevices = one[0];
            ++i;
        } else if (word == "--binary") {
            generateBinary = true;
        } else {
            std::fprintf(stderr,
                         "usage: registry_file_bench [--quick] [--sizes N,N,...] [--repeat N] [--no-wide]\n"
                         "                           [--dat-keys N] [--no-dat | --dat-only] [--no-winme]\n"
                         "                           [--generate DIR [--media-devices N] [--binary]]\n");
            return 2;
        }
    }
    std::vector<std::string> parts;
    const fs::path example = fs::path(CMPCI_SOURCE_DIR) / "examples" / "machine" / "registry.reg";
    if (!ReadStudioParts(example, parts)) {
        std::fprintf(stderr, "registry_file_bench: %s is missing or not the example machine\n", example.c_str());
        return 1;
    }
    if (!generate.empty()) {
        MachineShape shape {"regular", sizes[0]};
        if (mediaDevices > 0) {
            shape.pciDevices = mediaDevices;
            shape.cardLast = true;
            shape.mediaOnly = true;
        }
        shape.binary = generateBinary;
        std::error_code status;
        std::string error = "cannot write the machine";
        const bool made = fs::create_directory(generate, status) &&
                          (generateBinary ? GenerateBinaryMachine(generate, shape, parts, error)
                                          : GenerateMachine(generate, shape, parts)) >= 0;
        if (!made) {
            std::fprintf(stderr, "registry_file_bench: cannot write a machine into %s: %s\n", generate.c_str(),
                         error.c_str());
            return 1;
        }
        return 0;
    }

    std::vector<MachineShape> shapes;
    if (regedit4) {
        for (long keys : sizes)
            shapes.push_back({"regular", keys});
        if (wide)
            shapes.push_back({"wide PCI", 450000, 100000, true, 2000});
    }
    if (binary || !regedit4)
        shapes.push_back({"dat", binaryKeys, 0, false, 0, true});
    if (winme)
        shapes.push_back({"winme", 0, 0, false, 0, true, true});

    std::error_code tempStatus;
    const std::string pattern = (fs::temp_directory_path(tempStatus) / "registry_file_bench.XXXXXX").string();
    std::vector<char> scratchName(pattern.begin(), pattern.end());
    scratchName.push_back('\0');
    if (mkdtemp(scratchName.data()) == nullptr) {
        std::fprintf(stderr, "registry_file_bench: cannot make a folder from %s\n", pattern.c_str());
        return 1;
    }
    const fs::path scratch = scratchName.data();

    std::printf("Whole run (load, silent removal, save) against the floor (read the file, write it to a new file,\n"
                "fsync, rename); best of %d, each on a fresh copy. Peak: the run's child's VmHWM; idle: that of a\n"
                "child that does nothing, the fixed part of every peak.\n",
                repeat);

    std::vector<Row> rows;
    bool failed = false;
    bool binaryHeader = false;
    if (regedit4) {
        std::printf("\n");
        PrintHeader();
    }
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        if (shapes[i].binary && !binaryHeader) {
            std::printf(
                "\nThe same machine with Windows 98's registry files, WINDOWS/SYSTEM.DAT and USER.DAT (written\n"
                "as --import writes them). The floor copies SYSTEM.DAT; the run loads both files and saves\n"
                "both, as the card's mixer settings are in USER.DAT; the peak is compared with both files.\n\n");
            PrintBinaryHeader();
            binaryHeader = true;
        }
        const fs::path folder = scratch / std::to_string(i);
        Row row;
        std::string error;
        bool ok = Measured(shapes[i], parts, folder, repeat, row, error);
        std::error_code status;
        fs::remove_all(folder, status);
        if (!ok) {
            std::printf("%-8s %8ld  FAILED: %s\n", shapes[i].family, shapes[i].keys, error.c_str());
            failed = true;
            continue;
        }
        if (shapes[i].binary)
            PrintBinaryRow(row);
        else
            PrintRow(row);
        rows.push_back(row);
    }
    std::error_code status;
    fs::remove_all(scratch, status);

    std::printf("\n");
    double worstRatio = 0;
    double worstPeak = 0;
    const Row* smallest = nullptr;
    const Row* largest = nullptr;
    bool anyRegedit4 = false;
    for (const Row& row : rows) {
        if (row.family == "dat")
            continue;
        anyRegedit4 = true;
        worstRatio = std::max(worstRatio, row.run.runMs() / row.floor.floorMs);
        worstPeak = std::max(worstPeak, Mb(row.peakKb - row.idleKb) / row.fileMb);
        if (row.family != std::string("regular"))
            continue;
        if (smallest == nullptr || row.keys < smallest->keys)
            smallest = &row;
        if (largest == nullptr || row.keys > largest->keys)
            largest = &row;
    }
    if (anyRegedit4) {
        std::printf("run within 5 x the floor at every size: %s (worst %.2f x)\n", YesNo(worstRatio <= 5), worstRatio);
        if (smallest != nullptr && largest != smallest) {
            const double perKey = (largest->run.runMs() / static_cast<double>(largest->keys)) /
                                  (smallest->run.runMs() / static_cast<double>(smallest->keys));
            std::printf("time per key at %ld keys within 1.5 x that at %ld: %s (%.2f x)\n", largest->keys,
                        smallest->keys, YesNo(perKey <= 1.5), perKey);
        }
        std::printf("peak above the idle child within 2 x the file at every size: %s (worst %.2f x)\n",
                    YesNo(worstPeak <= 2), worstPeak);
    }
    for (const Row& row : rows) {
        if (row.family == "dat")
            std::printf("run on SYSTEM.DAT and USER.DAT within 5 x copying SYSTEM.DAT: %s (%.2f x)\n",
                        YesNo(row.run.runMs() <= 5 * row.floor.floorMs), row.run.runMs() / row.floor.floorMs);
    }
    return failed ? 1 : 0;
}
