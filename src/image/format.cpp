#include "image/format.h"

#include <cstring>

#include "common/little_endian.h"

namespace image {

namespace {

constexpr char kConvert[] = "; convert it to a format in one file first (qemu-img convert -O qcow2 or -O raw)";

std::uint32_t Be32(std::string_view s, std::size_t at)
{
    if (s.size() < at + 4)
        return 0;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<unsigned char>(s[at + i]);
    return value;
}

using byte_order::Le32;

std::uint64_t Be64(std::string_view s, std::size_t at)
{
    return static_cast<std::uint64_t>(Be32(s, at)) << 32 | Be32(s, at + 4);
}

bool StartsWith(std::string_view s, std::string_view magic)
{
    return s.substr(0, magic.size()) == magic;
}

ImageFormat Supported(const char* driver)
{
    return {driver, driver, {}};
}

ImageFormat Refused(const char* name, const std::string& why)
{
    return {name, {}, why};
}

// QEMU's qcow2 and qcow: version 1 is qcow, 2 and 3 qcow2. What this program cannot read by the one route is
// refused: encryption, an external data file, an image QEMU marked corrupt, features it does not know.
ImageFormat Qcow(std::string_view head)
{
    const std::uint32_t version = Be32(head, 4);
    if (version == 1)
        return Be32(head, 36) != 0 ? Refused("qcow", "an encrypted qcow image: encrypted images are not supported")
                                   : Supported("qcow");
    if (version != 2 && version != 3)
        return Refused("qcow2", "a qcow2 image of version " + std::to_string(version) + ", which is not supported");
    if (Be32(head, 32) != 0)
        return Refused("qcow2", "an encrypted qcow2 image: encrypted images are not supported");
    const std::uint64_t incompatible = version == 3 ? Be64(head, 72) : 0;
    if (incompatible & 2)
        return Refused("qcow2", "a qcow2 image marked corrupt by QEMU; repair it first (qemu-img check -r all)");
    if (incompatible & 4)
        return Refused("qcow2", std::string("a qcow2 image whose data lies in another file (an external data "
                                            "file), which is not supported") + kConvert);
    // Dirty (bit 0), compression type (3) and extended L2 entries (4) change nothing for the route.
    if (incompatible & ~std::uint64_t {0x19})
        return Refused("qcow2", "a qcow2 image with features this program does not know");
    return Supported("qcow2");
}

// A VMDK descriptor as QEMU's probe tells one: comment and blank lines, then "version=1", 2 or 3.
bool VmdkDescriptorText(std::string_view s)
{
    std::size_t at = 0;
    while (at < s.size()) {
        if (s[at] == '#') {
            const std::size_t end = s.find('\n', at);
            at = end == std::string_view::npos ? s.size() : end + 1;
            continue;
        }
        if (s[at] == ' ') {
            while (at < s.size() && s[at] == ' ')
                ++at;
            if (at < s.size() && s[at] == '\r')
                ++at;
            if (at == s.size() || s[at] != '\n')
                return false;
            ++at;
            continue;
        }
        for (const char* line : {"version=1\n", "version=2\n", "version=3\n", "version=1\r\n", "version=2\r\n",
                                 "version=3\r\n"}) {
            if (StartsWith(s.substr(at), line))
                return true;
        }
        return false;
    }
    return false;
}

ImageFormat Vmdk(std::string_view head)
{
    if (StartsWith(head, "COWD"))
        return Refused("vmdk", std::string("an ESX sparse VMDK (COWD), which is not supported") + kConvert);
    // Grains compressed (a stream-optimized VMDK) have no place a plain read could take them from.
    if (Le32(head, 8) & 0x10000)
        return Refused("vmdk", std::string("a stream-optimized VMDK (its data is compressed), which is not "
                                           "supported") + kConvert);
    return Supported("vmdk");
}

ImageFormat Vdi(std::string_view head)
{
    const std::uint32_t type = Le32(head, 0x4C);
    if (type == 1 || type == 2)
        return Supported("vdi");
    return Refused("vdi", std::string("a differencing or undo VDI image (its data partly lies in its parent), "
                                      "which is not supported") + kConvert);
}

// A VHD's footer: its disk type is big-endian at byte 60 (2 fixed, 3 dynamic, 4 differencing).
ImageFormat Vhd(std::string_view head)
{
    if (Be32(head, 60) == 4)
        return Refused("vpc", std::string("a differencing VHD (its data partly lies in its parent), which is "
                                          "not supported") + kConvert);
    return Supported("vpc");
}

// Formats QEMU only reads, or cannot say where the data lies in, refused by name.
ImageFormat OthersRefused(std::string_view head, std::string_view tail)
{
    if (StartsWith(head, "vhdxfile"))
        return Refused("vhdx", "a VHDX image, which is not supported; convert it first (qemu-img convert -O vpc "
                               "or -O raw)");
    if (StartsWith(head, "LUKS\xba\xbe"))
        return Refused("luks", "a LUKS image: encrypted images are not supported");
    if (StartsWith(head, "Bochs Virtual HD Image"))
        return Refused("bochs", std::string("a Bochs image, which is not supported") + kConvert);
    if (StartsWith(head, "#!/bin/sh\n#V2.0 Format\nmodprobe cloop file=$0"))
        return Refused("cloop", std::string("a cloop image, which is not supported") + kConvert);
    if (tail.size() == 512 && StartsWith(tail, "koly"))
        return Refused("dmg", std::string("an Apple disk image (DMG), which is not supported") + kConvert);
    return {};
}

}  // namespace

ImageFormat ProbeFormat(std::string_view head, std::string_view tail, std::uint64_t size)
{
    if (StartsWith(head, "QFI\xfb"))
        return Qcow(head);
    if (StartsWith(head, std::string_view("QED\0", 4)))
        return Supported("qed");
    if (StartsWith(head, "KDMV") || StartsWith(head, "COWD"))
        return Vmdk(head);
    if (VmdkDescriptorText(head))
        return Refused("vmdk", std::string("a VMDK descriptor: its data lies in other files (the extents it "
                                           "names), which are not written here") + kConvert);
    if (Le32(head, 0x40) == 0xBEDA107F)
        return Vdi(head);
    if (StartsWith(head, "conectix"))
        return Vhd(head);
    if (StartsWith(head, "WithoutFreeSpace") || StartsWith(head, "WithouFreSpacExt"))
        return Supported("parallels");
    if (ImageFormat other = OthersRefused(head, tail); !other.name.empty())
        return other;
    // A fixed VHD is a raw disk and a footer; a VHD whose footer is only at the end must be fixed.
    if (tail.size() == 512 && size >= 1024 && StartsWith(tail, "conectix")) {
        if (Be32(tail, 60) == 2)
            return {"fixed VHD", {}, {}};
        return Refused("vpc", "a VHD whose footer names a dynamic disk but which does not start with its copy: "
                              "a damaged VHD");
    }
    return {"raw", {}, {}};
}

bool KnownDriver(const std::string& driver)
{
    for (const char* known : {"raw", "qcow2", "qcow", "qed", "vdi", "vmdk", "vpc", "parallels"}) {
        if (driver == known)
            return true;
    }
    return false;
}

}  // namespace image
