#include "backup/manifest.h"

#include <charconv>
#include <cstdio>
#include <filesystem>

#include "machine/json.h"

namespace backup {

namespace {

std::string Quoted(std::string_view field, const std::string& value)
{
    return "\"" + std::string(field) + "\": " + emulated::JsonBytes(value);
}

std::string Number(std::string_view field, std::uint64_t value)
{
    return "\"" + std::string(field) + "\": " + std::to_string(value);
}

// A file's stamp as fields, each after ", ": a FAT entry's as the entry stores them, or a host file's time of
// last change as seconds since 1970 with nine decimals; nothing when it has none.
std::string StampFields(const storage::FileStamp& stamp)
{
    if (stamp.kind == storage::FileStamp::Kind::Fat) {
        const storage::FatStamp& fat = stamp.fat;
        return ", " + Number("attributes", fat.attributes) + ", " + Number("createDate", fat.createDate) + ", " +
               Number("createTime", fat.createTime) + ", " + Number("createHundredths", fat.createHundredths) +
               ", " + Number("accessDate", fat.accessDate) + ", " + Number("writeDate", fat.writeDate) + ", " +
               Number("writeTime", fat.writeTime);
    }
    if (stamp.kind == storage::FileStamp::Kind::Host) {
        char nanoseconds[16];
        std::snprintf(nanoseconds, sizeof nanoseconds, ".%09ld", static_cast<long>(stamp.modified.tv_nsec));
        return ", \"modified\": \"" + std::to_string(stamp.modified.tv_sec) + nanoseconds + "\"";
    }
    return {};
}

// Entries of a list, one a line, with the list's brackets.
std::string List(std::string_view name, const std::vector<std::string>& entries, bool last)
{
    std::string text = "  \"" + std::string(name) + "\": [\n";
    for (std::size_t i = 0; i < entries.size(); ++i)
        text += "    {" + entries[i] + "}" + (i + 1 < entries.size() ? ",\n" : "\n");
    return text + "  ]" + (last ? "\n" : ",\n");
}

// The text of `"key": "..."` in one manifest line, escapes undone; false when the line has no such field.
bool Field(std::string_view line, std::string_view key, std::string& value)
{
    const std::string marker = "\"" + std::string(key) + "\": \"";
    const std::size_t at = line.find(marker);
    return at != std::string_view::npos && emulated::ReadJsonBytes(line.substr(at + marker.size()), value);
}

// The number of `"key": N` in one manifest line, when it is there and fits `value`.
template <class Unsigned> bool NumberField(std::string_view line, std::string_view key, Unsigned& value)
{
    const std::string marker = "\"" + std::string(key) + "\": ";
    const std::size_t at = line.find(marker);
    if (at == std::string_view::npos)
        return false;
    const char* first = line.data() + at + marker.size();
    return std::from_chars(first, line.data() + line.size(), value).ec == std::errc();
}

// "SECONDS.NNNNNNNNN", as StampFields writes a host file's time.
bool ReadModified(const std::string& text, timespec& modified)
{
    const std::size_t dot = text.find('.');
    long long seconds = 0;
    long nanoseconds = 0;
    const char* end = text.data() + text.size();
    if (dot == std::string::npos || text.size() - dot != 10 ||
        std::from_chars(text.data(), text.data() + dot, seconds).ptr != text.data() + dot ||
        std::from_chars(text.data() + dot + 1, end, nanoseconds).ptr != end)
        return false;
    modified = {static_cast<std::time_t>(seconds), nanoseconds};
    return true;
}

// A file's stamp from the fields of its line; none when they are missing (a backup of an older version) or
// out of their range.
storage::FileStamp ReadStamp(std::string_view line)
{
    storage::FileStamp stamp;
    storage::FatStamp& fat = stamp.fat;
    std::string modified;
    if (NumberField(line, "attributes", fat.attributes) && NumberField(line, "createDate", fat.createDate) &&
        NumberField(line, "createTime", fat.createTime) &&
        NumberField(line, "createHundredths", fat.createHundredths) &&
        NumberField(line, "accessDate", fat.accessDate) && NumberField(line, "writeDate", fat.writeDate) &&
        NumberField(line, "writeTime", fat.writeTime))
        stamp.kind = storage::FileStamp::Kind::Fat;
    else if (Field(line, "modified", modified) && ReadModified(modified, stamp.modified))
        stamp.kind = storage::FileStamp::Kind::Host;
    else
        stamp = {};
    return stamp;
}

void ReadLine(std::string_view line, Manifest& manifest)
{
    std::string value;
    if (Field(line, "machine", value))
        manifest.machine = value;
    else if (Field(line, "time", value))
        manifest.time = value;
    else if (line.find("\"registryStamp\": {") != std::string_view::npos)
        manifest.stamp = ReadStamp(line);
    else if (Field(line, "registryFile", value))
        manifest.registryFile = value;
    else if (Field(line, "registrySha256Before", value))
        manifest.sha256Before = value;
    else if (Field(line, "registrySha256After", value))
        manifest.sha256After = value;
    else if (line.find("\"registryFiles\": [") != std::string_view::npos)
        manifest.binary = true;
    else if (ManifestRegistryFile changed;
             Field(line, "registryHost", changed.host) && Field(line, "before", changed.before) &&
             Field(line, "sha256Before", changed.sha256Before) && Field(line, "sha256After", changed.sha256After)) {
        changed.stamp = ReadStamp(line);
        manifest.registryFiles.push_back(changed);
    } else if (ManifestFile entry; Field(line, "host", entry.host) && Field(line, "sha256", entry.sha256)) {
        entry.stamp = ReadStamp(line);
        manifest.files.push_back(entry);
    }
}

}  // namespace

bool StaysInside(const std::string& path)
{
    std::filesystem::path relative(path);
    bool inside = !relative.is_absolute() && !relative.empty();
    for (const std::filesystem::path& part : relative)
        inside = inside && part != ".." && part != "." && !part.empty();
    return inside;
}

std::string Manifest::Text() const
{
    std::string text = "{\n  \"program\": \"cmpci-uninstall\",\n  \"version\": \"" CMPCI_VERSION "\",\n";
    text += "  " + Quoted("machine", machine) + ",\n";
    text += "  \"time\": \"" + time + "\",\n";
    if (!registryFile.empty()) {
        text += "  " + Quoted("registryFile", registryFile) + ",\n";
        text += "  " + Number("registrySizeBefore", sizeBefore) + ",\n";
        text += "  \"registrySha256Before\": \"" + sha256Before + "\",\n";
        text += "  " + Number("registrySizeAfter", sizeAfter) + ",\n";
        text += "  \"registrySha256After\": \"" + sha256After + "\",\n";
        if (const std::string fields = StampFields(stamp); !fields.empty())
            text += "  \"registryStamp\": {" + fields.substr(2) + "},\n";
    }
    if (binary) {
        std::vector<std::string> entries;
        for (const ManifestRegistryFile& file : registryFiles)
            entries.push_back(Quoted("registryHost", file.host) + ", " + Quoted("before", file.before) + ", " +
                              Number("sizeBefore", file.sizeBefore) + ", \"sha256Before\": \"" + file.sha256Before +
                              "\", " + Number("sizeAfter", file.sizeAfter) + ", \"sha256After\": \"" +
                              file.sha256After + "\"" + StampFields(file.stamp));
        text += List("registryFiles", entries, false);
    }
    std::vector<std::string> entries;
    for (const ManifestFile& file : files)
        entries.push_back("\"path\": " + emulated::JsonString(file.path) + ", " + Quoted("host", file.host) + ", " +
                          Number("size", file.size) + ", \"sha256\": \"" + file.sha256 + "\"" +
                        StampFields(file.stamp));
    return text + List("files", entries, true) + "}\n";
}

bool ParseManifest(std::string_view text, const std::string& name, Manifest& manifest, std::string& error)
{
    manifest = Manifest();
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        ReadLine(text.substr(0, end), manifest);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    const bool regedit4 = !manifest.registryFile.empty() && !manifest.sha256Before.empty() &&
                          !manifest.sha256After.empty() && manifest.registryFile.find('/') == std::string::npos;
    if (regedit4 == manifest.binary) {
        error = name + " is not a manifest this program wrote";
        return false;
    }
    // Only paths inside the machine folder are ever restored, and only from inside the backup.
    if (regedit4 && !StaysInside(manifest.registryFile)) {
        error = name + " names a file outside the machine: " + manifest.registryFile;
        return false;
    }
    for (const ManifestRegistryFile& entry : manifest.registryFiles) {
        if (!StaysInside(entry.host) || !StaysInside(entry.before)) {
            error = name + " names a file outside the machine or the backup: " + entry.host;
            return false;
        }
    }
    for (const ManifestFile& entry : manifest.files) {
        if (!StaysInside(entry.host)) {
            error = name + " names a file outside the machine: " + entry.host;
            return false;
        }
    }
    return true;
}

}  // namespace backup
