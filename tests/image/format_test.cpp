// The format of an image file, told from its bytes: headers built here field by field from each format's
// own definition (QEMU's qcow2, QED and VMDK documents, VirtualBox's VDI header, Microsoft's VHD footer,
// LUKS), each named, and refused by name where its data cannot be read and written by the one route.
#include "image/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// `size` bytes of zeros with `magic` at `at`.
std::string Bytes(std::size_t size, std::size_t at = 0, const std::string& magic = "")
{
    std::string bytes(size, '\0');
    bytes.replace(at, magic.size(), magic);
    return bytes;
}

void PutBe32(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (24 - 8 * i));
}

void PutLe32(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

// A qcow2 header: version, crypt method (byte 32) and, for version 3, the incompatible features (72..79).
std::string Qcow2(std::uint32_t version, std::uint32_t crypt = 0, std::uint8_t incompatible = 0)
{
    std::string head = Bytes(2048, 0, "QFI\xfb");
    PutBe32(head, 4, version);
    PutBe32(head, 32, crypt);
    head[79] = static_cast<char>(incompatible);
    return head;
}

// A VHD footer (or its copy at a dynamic disk's start): "conectix", disk type big-endian at byte 60.
std::string VhdFooter(std::uint32_t type)
{
    std::string footer = Bytes(512, 0, "conectix");
    PutBe32(footer, 60, type);
    return footer;
}

std::string Vdi(std::uint32_t type)
{
    std::string head = Bytes(2048, 0, "<<< Oracle VM VirtualBox Disk Image >>>\n");
    PutLe32(head, 0x40, 0xBEDA107F);
    PutLe32(head, 0x44, 0x00010001);
    PutLe32(head, 0x4C, type);
    return head;
}

std::string SparseVmdk(std::uint32_t flags)
{
    std::string head = Bytes(2048, 0, "KDMV");
    PutLe32(head, 4, 1);
    PutLe32(head, 8, flags);
    return head;
}

TEST(ProbeFormatTest, EachFormatIsNamedAndRoutedOrRefusedByName)
{
    const std::string zeros(512, '\0');
    const struct {
        const char* label;
        std::string head;
        std::string tail;
        const char* name;
        bool supported;
        const char* refusal;  // words the refusal holds
    } cases[] = {
        {"raw: an MBR", Bytes(2048, 510, "\x55\xAA"), zeros, "raw", true, ""},
        {"qcow2 version 2", Qcow2(2), zeros, "qcow2", true, ""},
        {"qcow2 version 3, dirty", Qcow2(3, 0, 1), zeros, "qcow2", true, ""},
        {"qcow2 encrypted", Qcow2(3, 2), zeros, "qcow2", false, "encrypted images are not supported"},
        {"qcow2 marked corrupt", Qcow2(3, 0, 2), zeros, "qcow2", false, "marked corrupt"},
        {"qcow2 with an external data file", Qcow2(3, 0, 4), zeros, "qcow2", false, "external data file"},
        {"qcow2 with unknown features", Qcow2(3, 0, 0x20), zeros, "qcow2", false, "features"},
        {"qcow", Qcow2(1), zeros, "qcow", true, ""},
        {"QED", Bytes(2048, 0, std::string("QED\0", 4)), zeros, "qed", true, ""},
        {"not QED: the text QEMU QED", Bytes(2048, 0, "QEMU QED"), zeros, "raw", true, ""},
        {"sparse VMDK", SparseVmdk(3), zeros, "vmdk", true, ""},
        {"stream-optimized VMDK", SparseVmdk(0x30003), zeros, "vmdk", false, "compressed"},
        {"ESX sparse VMDK", Bytes(2048, 0, "COWD"), zeros, "vmdk", false, "COWD"},
        {"VMDK descriptor", Bytes(2048, 0, "# Disk DescriptorFile\nversion=1\nRW 131072 FLAT \"other.img\" 0\n"),
         zeros, "vmdk", false, "other files"},
        {"VMDK descriptor, blank lines and CR LF", Bytes(2048, 0, "#\r\n   \r\nversion=1\r\nCID=fffffffe\r\n"), zeros,
         "vmdk", false, "other files"},
        {"text that is no descriptor", Bytes(2048, 0, "# notes\nversion=4\n"), zeros, "raw", true, ""},
        {"VDI dynamic", Vdi(1), zeros, "vdi", true, ""},
        {"VDI fixed", Vdi(2), zeros, "vdi", true, ""},
        {"VDI differencing", Vdi(4), zeros, "vdi", false, "differencing"},
        {"dynamic VHD", VhdFooter(3) + zeros + zeros + zeros, VhdFooter(3), "vpc", true, ""},
        {"differencing VHD", VhdFooter(4) + zeros + zeros + zeros, VhdFooter(4), "vpc", false, "differencing"},
        {"fixed VHD", Bytes(2048, 510, "\x55\xAA"), VhdFooter(2), "fixed VHD", true, ""},
        {"VHD footer little-endian type", Bytes(2048, 510, "\x55\xAA"),
         Bytes(512, 0, "conectix") .replace(60, 4, std::string("\x02\0\0\0", 4)), "vpc", false, "damaged VHD"},
        {"VHDX", Bytes(2048, 0, "vhdxfile"), zeros, "vhdx", false, "VHDX"},
        {"Parallels", Bytes(2048, 0, "WithoutFreeSpace"), zeros, "parallels", true, ""},
        {"LUKS", Bytes(2048, 0, "LUKS\xba\xbe"), zeros, "luks", false, "encrypted images are not supported"},
        {"Bochs", Bytes(2048, 0, "Bochs Virtual HD Image"), zeros, "bochs", false, "Bochs"},
        {"DMG", Bytes(2048), Bytes(512, 0, "koly"), "dmg", false, "DMG"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        const image::ImageFormat format = image::ProbeFormat(each.head, each.tail, 1 << 20);
        EXPECT_EQ(format.name, each.name);
        EXPECT_EQ(format.refusal.empty(), each.supported) << format.refusal;
        EXPECT_NE(format.refusal.find(each.refusal), std::string::npos) << format.refusal;
        // In place exactly for raw and a fixed VHD; every other supported format goes to QEMU by name.
        const bool inPlace = std::string(each.name) == "raw" || std::string(each.name) == "fixed VHD";
        if (each.supported) {
            EXPECT_EQ(format.driver, inPlace ? "" : each.name);
        }
    }
}

}  // namespace
