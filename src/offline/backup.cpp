#include "offline/backup.h"

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

#include "machine/journal.h"
#include "machine/machine.h"

namespace offline {

namespace fs = std::filesystem;

namespace {

constexpr char kManifest[] = "manifest.json";
constexpr char kRemovedKeys[] = "removed.reg";
constexpr char kRegistryBefore[] = "registry.reg.before";
constexpr char kFiles[] = "files";
constexpr char kBefore[] = "before";

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
    std::string marker(1, '"');
    marker.append(key).append("\": \"");
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

// A binary registry file the run changed.
struct ManifestRegistryFile {
    std::string host;    // relative to the machine folder
    std::string before;  // its copy, relative to the backup folder
    std::string sha256Before;
    std::string sha256After;
};

struct Manifest {
    std::string registryFile;  // a REGEDIT4 machine's registry.reg
    std::string sha256Before;
    std::string sha256After;
    std::vector<ManifestRegistryFile> registryFiles;
    bool binary = false;  // a machine with binary registry files: the list above, empty when none changed
    std::vector<ManifestFile> files;
};

// A relative path that stays inside the folder it is taken from.
bool StaysInside(const std::string& path)
{
    fs::path relative(path);
    bool inside = !relative.is_absolute() && relative.begin() != relative.end() && *relative.begin() != "..";
    for (const fs::path& part : relative)
        inside = inside && part != ".." && part != ".";
    return inside;
}

std::string Sha256Of(std::string_view bytes)
{
    Sha256 hash;
    hash.Add(bytes);
    return hash.Hex();
}

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
        else if (line.find("\"registryFiles\": [") != std::string::npos)
            manifest.binary = true;
        else if (ManifestRegistryFile changed;
                 Field(line, "registryHost", changed.host) && Field(line, "before", changed.before) &&
                 Field(line, "sha256Before", changed.sha256Before) && Field(line, "sha256After", changed.sha256After))
            manifest.registryFiles.push_back(changed);
        else if (ManifestFile entry; Field(line, "host", entry.host) && Field(line, "sha256", entry.sha256))
            manifest.files.push_back(entry);
    }
    const bool regedit4 = !manifest.registryFile.empty() && !manifest.sha256Before.empty() &&
                          !manifest.sha256After.empty() && manifest.registryFile.find('/') == std::string::npos;
    if (regedit4 == manifest.binary) {
        error = file.string() + " is not a manifest this program wrote";
        return false;
    }
    // Only paths inside the machine folder are ever restored, and only from inside the backup.
    for (const ManifestRegistryFile& entry : manifest.registryFiles) {
        if (!StaysInside(entry.host) || !StaysInside(entry.before)) {
            error = file.string() + " names a file outside the machine or the backup: " + entry.host;
            return false;
        }
    }
    for (const ManifestFile& entry : manifest.files) {
        if (!StaysInside(entry.host)) {
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
    return ReadWhole(file, bytes) ? Sha256Of(bytes) : std::string();
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

    const emulated::MachineFolder& machine = *changes.folder;
    std::string registryFields;
    std::string registryLines;
    for (const emulated::RegistryFile& registryFile : machine.registryFiles) {
        const bool regedit4 = registryFile.hive < 0;
        if (!regedit4 && !emulated::RegistryFileChanged(registryFile, *changes.registry))
            continue;
        std::string before;
        if (!ReadWhole(registryFile.path, before))
            return fail("cannot read " + registryFile.path.string());
        const std::string sha256Before = Sha256Of(before);
        std::string storage;
        Sha256 afterHash;
        std::size_t afterSize = 0;
        for (std::string_view piece : emulated::SavedBytes(registryFile, *changes.registry, storage)) {
            afterHash.Add(piece);
            afterSize += piece.size();
        }
        const bool changed = emulated::RegistryFileChanged(registryFile, *changes.registry);
        const std::string sha256After = changed ? afterHash.Hex() : sha256Before;
        if (!changed)
            afterSize = before.size();
        if (regedit4) {
            if (!WriteWhole(folder / kRegistryBefore, before))
                return fail(std::strerror(errno));
            registryFields += "  \"registryFile\": " + JsonBytes(registryFile.path.filename().string()) + ",\n";
            registryFields += "  \"registrySizeBefore\": " + std::to_string(before.size()) + ",\n";
            registryFields += "  \"registrySha256Before\": \"" + sha256Before + "\",\n";
            registryFields += "  \"registrySizeAfter\": " + std::to_string(afterSize) + ",\n";
            registryFields += "  \"registrySha256After\": \"" + sha256After + "\",\n";
            continue;
        }
        const std::string host = registryFile.path.lexically_relative(changes.machine).generic_string();
        const std::string copy = std::string(kBefore) + "/" + host;
        fs::create_directories((folder / copy).parent_path(), status);
        if (status || !WriteWhole(folder / copy, before))
            return fail("cannot copy " + registryFile.path.string());
        registryLines += std::string(registryLines.empty() ? "" : ",\n") + "    {\"registryHost\": " + JsonBytes(host) +
                         ", \"before\": " + JsonBytes(copy) + ", \"sizeBefore\": " + std::to_string(before.size()) +
                         ", \"sha256Before\": \"" + sha256Before + "\", \"sizeAfter\": " + std::to_string(afterSize) +
                         ", \"sha256After\": \"" + sha256After + "\"}";
    }
    if (!WriteWhole(folder / kRemovedKeys, emulated::RemovedRegedit4(*changes.registry)))
        return fail(std::strerror(errno));

    const std::string windowsName = machine.windowsFolder.filename().string();
    std::string files;
    for (std::size_t i = 0; i < changes.removedFiles.size(); ++i) {
        const std::string& relative = changes.removedFiles[i];
        fs::path source = machine.windowsFolder / relative;
        fs::path copy = folder / kFiles / windowsName / relative;
        fs::create_directories(copy.parent_path(), status);
        std::string bytes;
        if (status || !ReadWhole(source, bytes) || !WriteWhole(copy, bytes))
            return fail("cannot copy " + source.string());
        files += std::string(files.empty() ? "" : ",\n") +
                 "    {\"path\": " + emulated::JsonString(changes.removedWindowsPaths[i]) +
                 ", \"host\": " + JsonBytes(windowsName + "/" + relative) +
                 ", \"size\": " + std::to_string(bytes.size()) + ", \"sha256\": \"" + Sha256Of(bytes) + "\"}";
    }
    std::string manifest = "{\n  \"program\": \"cmpci-uninstall\",\n  \"version\": \"" CMPCI_VERSION "\",\n";
    const fs::path shown = changes.shownMachine.empty() ? changes.machine : changes.shownMachine;
    manifest += "  \"machine\": " + JsonBytes(fs::absolute(shown, status).string()) + ",\n";
    manifest += "  \"time\": \"" + UtcNow() + "\",\n";
    manifest += registryFields;
    if (machine.binary())
        manifest += "  \"registryFiles\": [\n" + registryLines + (registryLines.empty() ? "" : "\n") + "  ],\n";
    manifest += "  \"files\": [\n" + files + (files.empty() ? "" : "\n") + "  ]\n}\n";
    if (!WriteWhole(folder / kManifest, manifest))
        return fail(std::strerror(errno));
    return true;
}

namespace {

// Puts a REGEDIT4 machine's registry.reg back: byte for byte when the run's save is still there, else with
// the removed keys added at its end.
bool RestoreRegedit4(const fs::path& folder, const fs::path& machine, const Manifest& manifest,
                     std::vector<std::string>& said, std::string& error)
{
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
    const std::string currentSha = Sha256Of(current);
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
    return true;
}

}  // namespace

std::vector<std::string> BackupMachineFiles(const fs::path& folder)
{
    Manifest manifest;
    std::string error;
    std::vector<std::string> files;
    if (!ReadManifest(folder / kManifest, manifest, error))
        return files;
    if (!manifest.registryFile.empty())
        files.push_back(manifest.registryFile);
    for (const ManifestRegistryFile& entry : manifest.registryFiles)
        files.push_back(entry.host);
    for (const ManifestFile& entry : manifest.files)
        files.push_back(entry.host);
    return files;
}

bool RestoreBackup(const fs::path& folder, const fs::path& machine, std::vector<std::string>& said, std::string& error,
                   std::vector<std::string>* written)
{
    Manifest manifest;
    if (!ReadManifest(folder / kManifest, manifest, error))
        return false;

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
    // A binary registry file is put back only when it is as the run left it: one changed since cannot take
    // the removed keys back in, and then nothing is restored.
    std::vector<std::pair<const ManifestRegistryFile*, std::string>> putBack;
    for (const ManifestRegistryFile& entry : manifest.registryFiles) {
        const fs::path target = machine / entry.host;
        const std::string current = Sha256OfFile(target);
        if (current == entry.sha256Before) {
            said.push_back(entry.host + " is already as it was before the run");
            continue;
        }
        std::string before;
        if (current != entry.sha256After) {
            error = target.string() +
                    " changed since the run; it is not overwritten, and nothing was restored "
                    "(the removed keys are in " +
                    (folder / kRemovedKeys).string() + ")";
            return false;
        }
        if (!ReadWhole(folder / entry.before, before) || Sha256Of(before) != entry.sha256Before) {
            error = "the backup's copy of " + entry.host + " is missing or damaged; nothing was restored";
            return false;
        }
        putBack.emplace_back(&entry, std::move(before));
    }
    for (const auto& [entry, before] : putBack) {
        if (!emulated::ReplaceFileAtomically(machine / entry->host, {before}, error))
            return false;
        said.push_back(entry->host + " is back as it was before the run, byte for byte");
        if (written)
            written->push_back(entry->host);
    }
    if (!manifest.registryFile.empty()) {
        if (!RestoreRegedit4(folder, machine, manifest, said, error))
            return false;
        if (written)
            written->push_back(manifest.registryFile);
    }
    for (const ManifestFile* entry : missing) {
        std::string bytes;
        fs::path target = machine / entry->host;
        if (!ReadWhole(folder / kFiles / entry->host, bytes) || !WriteWhole(target, bytes)) {
            error = "cannot restore " + target.string();
            return false;
        }
        if (written)
            written->push_back(entry->host);
    }
    said.push_back(std::to_string(missing.size()) + " files restored" +
                   (missing.size() == manifest.files.size() ? "" : ", the others were already there"));
    return true;
}

}  // namespace offline
