#include "run/offline_backup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

#include <openssl/evp.h>

#include "system/emulated/journal.h"
#include "system/emulated/machine.h"

namespace offline {

namespace fs = std::filesystem;

namespace {

constexpr char kManifest[] = "manifest.json";
constexpr char kRemovedKeys[] = "removed.reg";
constexpr char kRegistryBefore[] = "registry.reg.before";
constexpr char kFiles[] = "files";

// SHA-256 over pieces fed one after the other.
class Sha256 {
public:
    Sha256() : context_(EVP_MD_CTX_new(), EVP_MD_CTX_free) { EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr); }
    void Add(std::string_view bytes) { EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()); }
    std::string Hex()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context_.get(), digest, &length);
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned int i = 0; i < length; ++i) {
            hex += kDigits[digest[i] >> 4];
            hex += kDigits[digest[i] & 0xF];
        }
        return hex;
    }

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context_;
};

bool ReadWhole(const fs::path& file, std::string& bytes)
{
    std::ifstream in(file, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

bool WriteWhole(const fs::path& file, std::string_view bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    return out.good();
}

// A JSON string of host bytes, kept as they are but for the characters JSON escapes.
std::string JsonBytes(std::string_view bytes)
{
    std::string out = "\"";
    for (char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The text of `"key": "..."` in one manifest line, escapes undone; false when the line has no such field.
bool Field(std::string_view line, std::string_view key, std::string& value)
{
    std::string marker = "\"" + std::string(key) + "\": \"";
    std::size_t at = line.find(marker);
    if (at == std::string_view::npos)
        return false;
    value.clear();
    for (std::size_t i = at + marker.size(); i < line.size(); ++i) {
        if (line[i] == '"')
            return true;
        if (line[i] == '\\' && i + 1 < line.size())
            ++i;
        value += line[i];
    }
    return false;
}

std::string UtcNow()
{
    std::time_t now = std::time(nullptr);
    std::tm utc {};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

struct ManifestFile {
    std::string host;  // relative to the machine folder
    std::string sha256;
};

struct Manifest {
    std::string registryFile;
    std::string sha256Before;
    std::string sha256After;
    std::vector<ManifestFile> files;
};

bool ReadManifest(const fs::path& file, Manifest& manifest, std::string& error)
{
    std::ifstream in(file);
    if (!in) {
        error = "no " + file.string() + ": not a backup folder of this program";
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        std::string value;
        if (Field(line, "registryFile", value))
            manifest.registryFile = value;
        else if (Field(line, "registrySha256Before", value))
            manifest.sha256Before = value;
        else if (Field(line, "registrySha256After", value))
            manifest.sha256After = value;
        else if (ManifestFile entry; Field(line, "host", entry.host) && Field(line, "sha256", entry.sha256))
            manifest.files.push_back(entry);
    }
    if (manifest.registryFile.empty() || manifest.sha256Before.empty() || manifest.sha256After.empty() ||
        manifest.registryFile.find('/') != std::string::npos) {
        error = file.string() + " is not a manifest this program wrote";
        return false;
    }
    for (const ManifestFile& entry : manifest.files) {
        // Only paths inside the machine's Windows folder are ever restored.
        fs::path host(entry.host);
        bool inside = !host.is_absolute() && host.begin() != host.end() && *host.begin() != "..";
        for (const fs::path& part : host)
            inside = inside && part != ".." && part != ".";
        if (!inside) {
            error = file.string() + " names a file outside the machine: " + entry.host;
            return false;
        }
    }
    return true;
}

}  // namespace

std::string Sha256OfFile(const fs::path& file)
{
    std::string bytes;
    if (!ReadWhole(file, bytes))
        return {};
    Sha256 hash;
    hash.Add(bytes);
    return hash.Hex();
}

fs::path DefaultBackupFolder(const fs::path& machine)
{
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "cmpci-backup-%Y%m%d-%H%M%S", &local);
    fs::path folder = machine / stamp;
    std::error_code status;
    for (int n = 2; fs::exists(folder, status); ++n)
        folder = machine / (std::string(stamp) + "-" + std::to_string(n));
    return folder;
}

bool WriteBackup(const fs::path& folder, const RunChanges& changes, std::string& error)
{
    std::error_code status;
    if (fs::exists(folder, status) && !fs::is_empty(folder, status)) {
        error = "the backup folder " + folder.string() + " exists and is not empty; nothing was removed";
        return false;
    }
    const bool made = !fs::exists(folder, status);
    auto fail = [&](const std::string& what) {
        error = "cannot write the backup " + folder.string() + ": " + what + "; nothing was removed";
        if (made)
            fs::remove_all(folder, status);
        else
            for (const fs::directory_entry& entry : fs::directory_iterator(folder, status))
                fs::remove_all(entry.path(), status);
        return false;
    };
    fs::create_directories(folder, status);
    if (status)
        return fail(status.message());

    std::string before;
    if (!ReadWhole(changes.registryFile, before))
        return fail("cannot read " + changes.registryFile.string());
    Sha256 beforeHash;
    beforeHash.Add(before);
    Sha256 afterHash;
    std::size_t afterSize = 0;
    for (std::string_view range : changes.registry->KeptRanges()) {
        afterHash.Add(range);
        afterSize += range.size();
    }
    if (!changes.registry->Modified())
        afterSize = before.size();
    std::string sha256After = changes.registry->Modified() ? afterHash.Hex() : beforeHash.Hex();
    if (!WriteWhole(folder / kRegistryBefore, before) ||
        !WriteWhole(folder / kRemovedKeys, emulated::RemovedRegedit4(*changes.registry)))
        return fail(std::strerror(errno));

    const std::string windowsName = changes.windowsFolder.filename().string();
    std::string files;
    for (std::size_t i = 0; i < changes.removedFiles.size(); ++i) {
        const std::string& relative = changes.removedFiles[i];
        fs::path source = changes.windowsFolder / relative;
        fs::path copy = folder / kFiles / windowsName / relative;
        fs::create_directories(copy.parent_path(), status);
        std::string bytes;
        if (status || !ReadWhole(source, bytes) || !WriteWhole(copy, bytes))
            return fail("cannot copy " + source.string());
        Sha256 hash;
        hash.Add(bytes);
        files += std::string(files.empty() ? "" : ",\n") +
                 "    {\"path\": " + emulated::JsonString(changes.removedWindowsPaths[i]) +
                 ", \"host\": " + JsonBytes(windowsName + "/" + relative) +
                 ", \"size\": " + std::to_string(bytes.size()) + ", \"sha256\": \"" + hash.Hex() + "\"}";
    }
    std::string manifest = "{\n  \"program\": \"cmpci-uninstall\",\n  \"version\": \"" CMPCI_VERSION "\",\n";
    manifest += "  \"machine\": " + JsonBytes(fs::absolute(changes.machine, status).string()) + ",\n";
    manifest += "  \"time\": \"" + UtcNow() + "\",\n";
    manifest += "  \"registryFile\": " + JsonBytes(changes.registryFile.filename().string()) + ",\n";
    manifest += "  \"registrySizeBefore\": " + std::to_string(before.size()) + ",\n";
    manifest += "  \"registrySha256Before\": \"" + beforeHash.Hex() + "\",\n";
    manifest += "  \"registrySizeAfter\": " + std::to_string(afterSize) + ",\n";
    manifest += "  \"registrySha256After\": \"" + sha256After + "\",\n";
    manifest += "  \"files\": [\n" + files + (files.empty() ? "" : "\n") + "  ]\n}\n";
    if (!WriteWhole(folder / kManifest, manifest))
        return fail(std::strerror(errno));
    return true;
}

bool RestoreBackup(const fs::path& folder, const fs::path& machine, std::vector<std::string>& said, std::string& error)
{
    Manifest manifest;
    if (!ReadManifest(folder / kManifest, manifest, error))
        return false;
    const fs::path registryFile = machine / manifest.registryFile;
    std::string current;
    if (!ReadWhole(registryFile, current)) {
        error = "cannot read " + registryFile.string();
        return false;
    }
    std::string before;
    std::string removed;
    if (!ReadWhole(folder / kRegistryBefore, before) || !ReadWhole(folder / kRemovedKeys, removed)) {
        error = "the backup " + folder.string() + " lacks " + kRegistryBefore + " or " + kRemovedKeys;
        return false;
    }

    // Every file is checked before anything changes: one that exists again with other content stays, and
    // then nothing is restored.
    std::vector<const ManifestFile*> missing;
    for (const ManifestFile& entry : manifest.files) {
        fs::path target = machine / entry.host;
        std::error_code status;
        if (!fs::exists(fs::symlink_status(target, status))) {
            missing.push_back(&entry);
        } else if (Sha256OfFile(target) != entry.sha256) {
            error =
                target.string() + " exists again with other content; it is not overwritten, and nothing was restored";
            return false;
        }
    }

    Sha256 currentHash;
    currentHash.Add(current);
    const std::string currentSha = currentHash.Hex();
    if (currentSha == manifest.sha256Before) {
        said.push_back("the registry file is already as it was before the run");
    } else if (currentSha == manifest.sha256After) {
        if (!emulated::ReplaceFileAtomically(registryFile, {before}, error))
            return false;
        said.push_back("the registry file is back as it was before the run, byte for byte");
    } else {
        // Changed since the run: the removed keys are added back at the end, as regedit would import them.
        std::size_t body = removed.find('\n');
        std::string merged = current;
        if (!merged.empty() && merged.back() != '\n' && merged.back() != '\r')
            merged += "\r\n";
        merged += removed.substr(body == std::string::npos ? removed.size() : body + 1);
        if (!emulated::ReplaceFileAtomically(registryFile, {merged}, error))
            return false;
        said.push_back("the registry file changed since the run: the removed keys were added back at its end");
    }
    for (const ManifestFile* entry : missing) {
        std::string bytes;
        fs::path target = machine / entry->host;
        if (!ReadWhole(folder / kFiles / entry->host, bytes) || !WriteWhole(target, bytes)) {
            error = "cannot restore " + target.string();
            return false;
        }
    }
    said.push_back(std::to_string(missing.size()) + " files restored" +
                   (missing.size() == manifest.files.size() ? "" : ", the others were already there"));
    return true;
}

}  // namespace offline
