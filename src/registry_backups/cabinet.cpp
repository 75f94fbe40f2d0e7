#include "registry_backups/cabinet.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <mspack.h>

#include "common/fold_case.h"
#include "storage/durable.h"

namespace backup {

namespace {

// The names libmspack is given: they mean nothing to it and are passed back to MemorySystem::open, which
// knows the cabinet and the file being extracted by them.
constexpr char kCabinetName[] = "cabinet";
constexpr char kOutputName[] = "output";

// An open "file" of libmspack: the cabinet's bytes to read, or the extracted file's bytes to fill.
struct MemoryFile {
    const std::string* in = nullptr;
    std::string* out = nullptr;
    std::size_t limit = 0;  // how far `out` may grow
    std::size_t at = 0;     // the read position in `in`
};

// libmspack's system: the cabinet in memory, extraction into memory, and every allocation counted against a
// budget.
struct MemorySystem {
    mspack_system calls;
    const std::string* cabinet = nullptr;
    std::string* out = nullptr;
    std::size_t outLimit = 0;
    std::uint64_t budget = 0;
    std::uint64_t allocated = 0;
};

// The system of the cabinet this thread reads. libmspack hands its decompressors a copy of the system's
// calls, so the `self` they pass back is not always the struct given to it.
thread_local MemorySystem* current = nullptr;

// Each allocation carries its size and its system before the bytes handed out, since libmspack's free()
// is told neither.
struct alignas(std::max_align_t) AllocationHeader {
    std::size_t size;
    MemorySystem* system;
};

MemorySystem& SystemOf(mspack_system*)
{
    return *current;
}

mspack_file* OpenFile(mspack_system* self, const char* name, int mode)
{
    MemorySystem& system = SystemOf(self);
    MemoryFile* file = nullptr;
    if (mode == MSPACK_SYS_OPEN_READ && std::strcmp(name, kCabinetName) == 0)
        file = new (std::nothrow) MemoryFile {system.cabinet, nullptr, 0, 0};
    else if (mode == MSPACK_SYS_OPEN_WRITE && std::strcmp(name, kOutputName) == 0 && system.out != nullptr)
        file = new (std::nothrow) MemoryFile {nullptr, system.out, system.outLimit, 0};
    return reinterpret_cast<mspack_file*>(file);
}

void CloseFile(mspack_file* file)
{
    delete reinterpret_cast<MemoryFile*>(file);
}

int ReadFile(mspack_file* handle, void* buffer, int bytes)
{
    MemoryFile& file = *reinterpret_cast<MemoryFile*>(handle);
    if (file.in == nullptr || bytes < 0)
        return -1;
    const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(bytes), file.in->size() - file.at);
    std::memcpy(buffer, file.in->data() + file.at, count);
    file.at += count;
    return static_cast<int>(count);
}

// The output's room was reserved before the extraction began: appending within it allocates nothing.
int WriteFile(mspack_file* handle, void* buffer, int bytes)
{
    MemoryFile& file = *reinterpret_cast<MemoryFile*>(handle);
    if (file.out == nullptr || bytes < 0 || static_cast<std::size_t>(bytes) > file.limit - file.out->size())
        return -1;
    file.out->append(static_cast<const char*>(buffer), static_cast<std::size_t>(bytes));
    return bytes;
}

int SeekFile(mspack_file* handle, off_t offset, int mode)
{
    MemoryFile& file = *reinterpret_cast<MemoryFile*>(handle);
    if (file.in == nullptr)
        return -1;
    const off_t base = mode == MSPACK_SYS_SEEK_START ? 0
                       : mode == MSPACK_SYS_SEEK_CUR ? static_cast<off_t>(file.at)
                                                     : static_cast<off_t>(file.in->size());
    const off_t to = base + offset;
    if (to < 0 || static_cast<std::uint64_t>(to) > file.in->size())
        return -1;
    file.at = static_cast<std::size_t>(to);
    return 0;
}

off_t TellFile(mspack_file* handle)
{
    const MemoryFile& file = *reinterpret_cast<MemoryFile*>(handle);
    return static_cast<off_t>(file.out != nullptr ? file.out->size() : file.at);
}

void IgnoreMessage(mspack_file*, const char*, ...) { }

void* Allocate(mspack_system* self, std::size_t bytes)
{
    MemorySystem& system = SystemOf(self);
    if (bytes > system.budget - system.allocated)
        return nullptr;
    void* block = std::malloc(sizeof(AllocationHeader) + bytes);
    if (block == nullptr)
        return nullptr;
    system.allocated += bytes;
    new (block) AllocationHeader {bytes, &system};
    return static_cast<char*>(block) + sizeof(AllocationHeader);
}

void Release(void* bytes)
{
    if (bytes == nullptr)
        return;
    void* block = static_cast<char*>(bytes) - sizeof(AllocationHeader);
    const AllocationHeader* header = static_cast<AllocationHeader*>(block);
    header->system->allocated -= header->size;
    std::free(block);
}

void CopyBytes(void* from, void* to, std::size_t bytes)
{
    std::memmove(to, from, bytes);
}

// What libmspack's error code says about the cabinet.
std::string CabinetFault(int code)
{
    switch (code) {
    case MSPACK_ERR_SIGNATURE: return "not a cabinet file";
    case MSPACK_ERR_READ:
    case MSPACK_ERR_SEEK: return "damaged cabinet: it ends before its last part";
    case MSPACK_ERR_DATAFORMAT: return "damaged cabinet: its header, folder or file table is wrong";
    case MSPACK_ERR_CHECKSUM: return "damaged cabinet: a data block's checksum is wrong";
    case MSPACK_ERR_DECRUNCH: return "damaged cabinet: its compressed data cannot be decompressed";
    case MSPACK_ERR_NOMEMORY: return "damaged cabinet: it would take more memory than a registry backup may";
    case MSPACK_ERR_WRITE: return "damaged cabinet: a file in it is longer than the cabinet says";
    default: break;
    }
    return "cannot read the cabinet (libmspack error " + std::to_string(code) + ")";
}

std::string TooLarge(const CabinetLimits& limits)
{
    return "is larger than " + std::to_string(limits.cabinetBytes) + " bytes, far beyond a registry backup";
}

std::string TimeOf(const mscabd_file& file)
{
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", file.date_y, file.date_m, file.date_d, file.time_h,
                  file.time_m, file.time_s);
    return text;
}

// A name from the cabinet as messages may show it: a crafted one could hold line ends or terminal escapes.
std::string Printable(const char* name)
{
    std::string shown(name);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return shown;
}

bool Wanted(std::string_view name, const std::vector<std::string_view>& wanted)
{
    const std::size_t slash = name.find_last_of("\\/");
    const std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
    for (std::string_view one : wanted) {
        if (SameName(base, one))
            return true;
    }
    return false;
}

// The cabinet's decompressor, destroyed with the cabinet it opened.
class Decompressor {
public:
    explicit Decompressor(MemorySystem& system) : cab_(mspack_create_cab_decompressor(&system.calls)) { }
    ~Decompressor()
    {
        if (cab_ != nullptr && opened_ != nullptr)
            cab_->close(cab_, opened_);
        mspack_destroy_cab_decompressor(cab_);
    }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;

    mscab_decompressor* get() const { return cab_; }
    mscabd_cabinet* Open()
    {
        opened_ = cab_->open(cab_, kCabinetName);
        return opened_;
    }

private:
    mscab_decompressor* cab_;
    mscabd_cabinet* opened_ = nullptr;
};

// Lists the cabinet's files, bounded by `limits.files`.
bool ListFiles(const mscabd_cabinet& cabinet, const CabinetLimits& limits, std::vector<CabinetFile>& files,
               std::string& error)
{
    for (const mscabd_file* file = cabinet.files; file != nullptr; file = file->next) {
        if (files.size() == limits.files) {
            error = "holds more than " + std::to_string(limits.files) + " files, more than a registry backup holds";
            return false;
        }
        files.push_back({Printable(file->filename), file->length, TimeOf(*file), {}});
    }
    return true;
}

// Extracts the wanted files of the cabinet, each into its CabinetFile's bytes.
bool Extract(Decompressor& cab, MemorySystem& system, const mscabd_cabinet& cabinet,
             const std::vector<std::string_view>& wanted, const CabinetLimits& limits,
             std::vector<CabinetFile>& files, std::string& error)
{
    std::size_t index = 0;
    for (mscabd_file* file = cabinet.files; file != nullptr; file = file->next, ++index) {
        CabinetFile& listed = files[index];
        if (!Wanted(listed.name, wanted))
            continue;
        if (listed.size > limits.fileBytes) {
            error = listed.name + " in it is " + std::to_string(listed.size) + " bytes, more than a registry file " +
                    "may be (" + std::to_string(limits.fileBytes) + ")";
            return false;
        }
        listed.bytes.reserve(listed.size);
        system.out = &listed.bytes;
        system.outLimit = listed.size;
        const int result = cab.get()->extract(cab.get(), file, kOutputName);
        system.out = nullptr;
        if (result != MSPACK_ERR_OK || listed.bytes.size() != listed.size) {
            error = CabinetFault(result == MSPACK_ERR_OK ? MSPACK_ERR_DATAFORMAT : result) + " (" + listed.name + ")";
            return false;
        }
    }
    return true;
}

}  // namespace

bool ReadCabinetBytes(const std::string& cabinet, const std::vector<std::string_view>& wanted,
                      std::vector<CabinetFile>& files, std::string& error, const CabinetLimits& limits)
{
    files.clear();
    if (cabinet.size() > limits.cabinetBytes) {
        error = TooLarge(limits);
        return false;
    }
    int selftest = MSPACK_ERR_OK;
    MSPACK_SYS_SELFTEST(selftest);
    if (selftest != MSPACK_ERR_OK) {
        error = "libmspack was built for another file offset size";
        return false;
    }
    MemorySystem system;
    system.calls = {OpenFile, CloseFile, ReadFile, WriteFile, SeekFile, TellFile, IgnoreMessage,
                    Allocate, Release, CopyBytes, nullptr};
    system.cabinet = &cabinet;
    system.budget = limits.libraryBytes;
    current = &system;
    const struct Done {
        ~Done() { current = nullptr; }
    } done;
    Decompressor cab(system);
    if (cab.get() == nullptr) {
        error = "cannot start libmspack's cabinet reader: out of memory";
        return false;
    }
    const mscabd_cabinet* opened = cab.Open();
    if (opened == nullptr) {
        error = CabinetFault(cab.get()->last_error(cab.get()));
        return false;
    }
    // The Registry Checker writes each backup as one cabinet; part of a set cannot be restored alone.
    if ((opened->flags & (MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB)) != 0) {
        error = "is part of a set of cabinets, which no registry backup is";
        return false;
    }
    if (!ListFiles(*opened, limits, files, error) || !Extract(cab, system, *opened, wanted, limits, files, error)) {
        files.clear();
        return false;
    }
    return true;
}

bool ReadCabinet(const std::filesystem::path& file, const std::vector<std::string_view>& wanted,
                 std::vector<CabinetFile>& files, std::string& error, const CabinetLimits& limits)
{
    std::string bytes;
    switch (storage::ReadRegularFile(AT_FDCWD, file.c_str(), limits.cabinetBytes, bytes)) {
    case storage::ReadResult::Done:
        return ReadCabinetBytes(bytes, wanted, files, error, limits);
    case storage::ReadResult::Link: error = "is a symbolic link"; return false;
    case storage::ReadResult::NotRegular: error = "is not a regular file"; return false;
    case storage::ReadResult::TooLarge: error = TooLarge(limits); return false;
    case storage::ReadResult::Missing:
    case storage::ReadResult::Failed: break;
    }
    error = std::strerror(errno);
    return false;
}

}  // namespace backup
