// The argument text of a Windows command line: the result lies inside the line, at or before its NUL, and
// the scan reads nothing past the NUL (the copy is sized exactly, so AddressSanitizer sees any over-read).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_check.h"
#include "run/command_line.h"

namespace {

bool NoLeadBytes(unsigned char)
{
    return false;
}
bool HighLeadBytes(unsigned char byte)
{
    return byte >= 0x81;
}

void CheckArgumentText(const char* line, std::size_t length, LeadByteTest isLeadByte)
{
    const char* tail = ArgumentText(line, isLeadByte);
    Check(tail >= line && tail <= line + length);
    // The tail never starts with a blank or control byte.
    Check(*tail == '\0' || static_cast<unsigned char>(*tail) > ' ');
    (void)ModeOf(tail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The line ends at the first NUL, as a command line does.
    const void* zero = std::memchr(data, 0, size);
    const std::size_t length = zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data) : size;
    std::unique_ptr<char[]> line(new char[length + 1]);
    std::memcpy(line.get(), data, length);
    line[length] = '\0';
    CheckArgumentText(line.get(), length, NoLeadBytes);
    CheckArgumentText(line.get(), length, HighLeadBytes);
    CheckArgumentText(line.get(), length, nullptr);
    return 0;
}
