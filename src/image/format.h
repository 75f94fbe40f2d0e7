// An image file's format, told by this program from the file's own bytes and never by a tool's probing: every
// format QEMU would take the file for (its probes' magic numbers) is named here, and each either has a route
// this program reads and writes by, or is refused by name with what to do instead. A file none of them
// claims is a raw disk.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace image {

struct ImageFormat {
    // The format as messages name it: "raw", "fixed VHD", or QEMU's name of it ("qcow2", "vdi", ...).
    std::string name;
    // QEMU's driver for it; empty for a format read and written in place (raw, a fixed VHD).
    std::string driver;
    // Why it is not supported, naming it and what to do; empty when it is.
    std::string refusal;
};

// The bytes a probe reads: the file's first kProbeHead bytes (fewer when it is smaller), and its last 512.
inline constexpr std::size_t kProbeHead = 2048;

// The format of a file of `size` bytes that starts with `head` and ends with `tail`.
ImageFormat ProbeFormat(std::string_view head, std::string_view tail, std::uint64_t size);

// Whether `driver` is one this program hands to QEMU tools for a backing file.
bool KnownDriver(const std::string& driver);

}  // namespace image
