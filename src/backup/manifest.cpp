#include "backup/manifest.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <limits>

#include "common/fold_case.h"
#include "common/path_parts.h"
#include "json/json.h"

namespace backup {

namespace {

std::string Quoted(std::string_view field, const std::string& value)
{
    return "\"" + std::string(field) + "\": " + json::HostBytes(value);
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

// The marks as a JSON object on one line.
std::string MarksText(const MachineMarks& marks)
{
    std::string text = "{";
    if (marks.image)
        text += Number("partition", static_cast<std::uint64_t>(marks.partition)) + ", " +
                Number("partitionStart", marks.partitionStart) + ", \"volumeSerial\": " +
                json::Bytes(marks.volumeSerial) + ", \"windowsFolder\": " +
                json::HostBytes(marks.windowsFolder) + ", ";
    text += "\"registry\": {";
    for (const auto& [name, value] : marks.registry)
        text += (text.back() == '{' ? "" : ", ") + json::Bytes(name) + ": " + json::HostBytes(value);
    return text + "}}";
}

// Entries of a list, one a line, with the list's brackets.
std::string List(std::string_view name, const std::vector<std::string>& entries, bool last)
{
    std::string text = "  \"" + std::string(name) + "\": [\n";
    for (std::size_t i = 0; i < entries.size(); ++i)
        text += "    {" + entries[i] + "}" + (i + 1 < entries.size() ? ",\n" : "\n");
    return text + "  ]" + (last ? "\n" : ",\n");
}

// A field holding a text of the program's own (a time, a SHA-256 in hex), escaped as JSON wants.
std::string Plain(std::string_view field, const std::string& value)
{
    return "\"" + std::string(field) + "\": " + json::Bytes(value);
}

// The reading of one JSON object: `missing` says which field was first not there or not of its type.
class Fields {
public:
    Fields(json::Value object, std::string& missing) : object_(object), missing_(missing) { }

    bool Has(const char* key) const { return object_.Member(key).Exists(); }

    bool Text(const char* key, std::string& value, bool host = false)
    {
        if (!object_.Member(key).Text(value))
            return Missing(key);
        if (host)
            value = json::HostBytesFromText(value);
        return true;
    }

    template <class Unsigned> bool Number(const char* key, Unsigned& value)
    {
        std::uint64_t number = 0;
        if (!object_.Member(key).Number(number) || number > std::numeric_limits<Unsigned>::max())
            return Missing(key);
        value = static_cast<Unsigned>(number);
        return true;
    }

    // A list's entries; false when the field is not a list.
    bool List(const char* key, std::vector<json::Value>& entries)
    {
        const json::Value field = object_.Member(key);
        if (!field.IsArray())
            return Missing(key);
        entries = field.Elements();
        return true;
    }

private:
    bool Missing(const char* key)
    {
        if (missing_.empty())
            missing_ = "\"" + std::string(key) + "\" is missing or not of its type";
        return false;
    }

    json::Value object_;
    std::string& missing_;
};

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

// A file's stamp from an object's fields; none when they are missing (a backup of an older version) or out
// of their range.
storage::FileStamp ReadStamp(json::Value object)
{
    storage::FileStamp stamp;
    storage::FatStamp& fat = stamp.fat;
    std::string ignored;
    Fields fields(object, ignored);
    std::string modified;
    if (fields.Number("attributes", fat.attributes) && fields.Number("createDate", fat.createDate) &&
        fields.Number("createTime", fat.createTime) && fields.Number("createHundredths", fat.createHundredths) &&
        fields.Number("accessDate", fat.accessDate) && fields.Number("writeDate", fat.writeDate) &&
        fields.Number("writeTime", fat.writeTime))
        stamp.kind = storage::FileStamp::Kind::Fat;
    else if (fields.Text("modified", modified) && ReadModified(modified, stamp.modified))
        stamp.kind = storage::FileStamp::Kind::Host;
    else
        stamp = {};
    return stamp;
}

bool ReadRegedit4(json::Value top, Manifest& manifest, std::string& missing)
{
    Fields fields(top, missing);
    if (!fields.Text("registryFile", manifest.registryFile, true) ||
        !fields.Number("registrySizeBefore", manifest.sizeBefore) ||
        !fields.Text("registrySha256Before", manifest.sha256Before) ||
        !fields.Number("registrySizeAfter", manifest.sizeAfter) ||
        !fields.Text("registrySha256After", manifest.sha256After))
        return false;
    if (fields.Has("registryStamp"))
        manifest.stamp = ReadStamp(top.Member("registryStamp"));
    return true;
}

bool ReadRegistryFiles(const std::vector<json::Value>& list, Manifest& manifest, std::string& missing)
{
    for (const json::Value entry : list) {
        ManifestRegistryFile file;
        Fields fields(entry, missing);
        if (!fields.Text("registryHost", file.host, true) || !fields.Text("before", file.before, true) ||
            !fields.Number("sizeBefore", file.sizeBefore) || !fields.Text("sha256Before", file.sha256Before) ||
            !fields.Number("sizeAfter", file.sizeAfter) || !fields.Text("sha256After", file.sha256After))
            return false;
        file.stamp = ReadStamp(entry);
        manifest.registryFiles.push_back(std::move(file));
    }
    return true;
}

bool ReadFiles(const std::vector<json::Value>& list, Manifest& manifest, std::string& missing)
{
    for (const json::Value entry : list) {
        ManifestFile file;
        Fields fields(entry, missing);
        if (!fields.Text("host", file.host, true) || !fields.Number("size", file.size) ||
            !fields.Text("sha256", file.sha256))
            return false;
        file.stamp = ReadStamp(entry);
        manifest.files.push_back(std::move(file));
    }
    return true;
}

bool ReadMarks(json::Value marks, MachineMarks& read, std::string& missing)
{
    Fields fields(marks, missing);
    read.recorded = true;
    read.image = fields.Has("partition");
    if (read.image && (!fields.Number("partition", read.partition) ||
                       !fields.Number("partitionStart", read.partitionStart) ||
                       !fields.Text("volumeSerial", read.volumeSerial) ||
                       !fields.Text("windowsFolder", read.windowsFolder, true)))
        return false;
    const json::Value registry = marks.Member("registry");
    if (!registry.IsObject()) {
        missing = "\"marks\" holds no \"registry\"";
        return false;
    }
    for (const auto& [name, value] : registry.Members()) {
        std::string text;
        if (!value.Text(text)) {
            missing = "the mark \"" + name + "\" is not a text";
            return false;
        }
        read.registry[name] = text;
    }
    return true;
}

// The fields of a manifest of `format`, read from its top object.
bool ReadFields(json::Value top, int format, Manifest& manifest, std::string& missing)
{
    Fields fields(top, missing);
    std::string program;
    if (!fields.Text("program", program) || program != "cmpci-uninstall") {
        missing = "\"program\" is not cmpci-uninstall";
        return false;
    }
    if (!fields.Text("machine", manifest.machine, true) || !fields.Text("time", manifest.time))
        return false;
    if (manifest.machine.empty()) {
        missing = "it names no machine";
        return false;
    }
    if (format >= 2 && !fields.Has("marks")) {
        missing = "\"marks\" is missing";
        return false;
    }
    if (format >= 2 && !ReadMarks(top.Member("marks"), manifest.marks, missing))
        return false;
    manifest.binary = fields.Has("registryFiles");
    if (manifest.binary && fields.Has("registryFile")) {
        missing = "it names both a REGEDIT4 file and binary registry files";
        return false;
    }
    std::vector<json::Value> files;
    if (!fields.List("files", files))
        return false;
    if (manifest.binary) {
        std::vector<json::Value> registryFiles;
        return fields.List("registryFiles", registryFiles) && ReadRegistryFiles(registryFiles, manifest, missing) &&
               ReadFiles(files, manifest, missing);
    }
    return ReadRegedit4(top, manifest, missing) && ReadFiles(files, manifest, missing);
}

// A path inside the machine's Windows folder: WINDOWS/..., the folder's name in any case.
bool InWindowsFolder(const std::string& path)
{
    const std::size_t slash = path.find('/');
    return slash != std::string::npos && slash + 1 < path.size() && SameName(path.substr(0, slash), "WINDOWS");
}

// Only paths inside the machine folder are ever restored, only from inside the backup, and only the
// Windows folder's files and registry files.
bool PathsStayInside(const Manifest& manifest, const std::string& name, std::string& error)
{
    if (!manifest.binary && (!StaysInside(manifest.registryFile) ||
                             manifest.registryFile.find('/') != std::string::npos)) {
        error = name + " names a file outside the machine: " + manifest.registryFile;
        return false;
    }
    for (const ManifestRegistryFile& entry : manifest.registryFiles) {
        if (!StaysInside(entry.host) || !StaysInside(entry.before) || !InWindowsFolder(entry.host)) {
            error = name + " names a file outside the machine's Windows folder or the backup: " + entry.host;
            return false;
        }
    }
    for (const ManifestFile& entry : manifest.files) {
        if (!StaysInside(entry.host) || !InWindowsFolder(entry.host)) {
            error = name + " names a file outside the machine's Windows folder: " + entry.host;
            return false;
        }
    }
    return true;
}

}  // namespace

std::string Manifest::Text() const
{
    std::string text = "{\n  \"program\": \"cmpci-uninstall\",\n  \"version\": \"" CMPCI_VERSION "\",\n";
    text += "  " + Number("format", kManifestFormat) + ",\n";
    text += "  " + Quoted("machine", machine) + ",\n";
    text += "  " + Plain("time", time) + ",\n";
    text += "  \"marks\": " + MarksText(marks) + ",\n";
    if (!registryFile.empty()) {
        text += "  " + Quoted("registryFile", registryFile) + ",\n";
        text += "  " + Number("registrySizeBefore", sizeBefore) + ",\n";
        text += "  " + Plain("registrySha256Before", sha256Before) + ",\n";
        text += "  " + Number("registrySizeAfter", sizeAfter) + ",\n";
        text += "  " + Plain("registrySha256After", sha256After) + ",\n";
        if (const std::string fields = StampFields(stamp); !fields.empty())
            text += "  \"registryStamp\": {" + fields.substr(2) + "},\n";
    }
    if (binary) {
        std::vector<std::string> entries;
        for (const ManifestRegistryFile& file : registryFiles)
            entries.push_back(Quoted("registryHost", file.host) + ", " + Quoted("before", file.before) + ", " +
                              Number("sizeBefore", file.sizeBefore) + ", " + Plain("sha256Before", file.sha256Before) +
                              ", " + Number("sizeAfter", file.sizeAfter) + ", " + Plain("sha256After", file.sha256After) +
                              StampFields(file.stamp));
        text += List("registryFiles", entries, false);
    }
    std::vector<std::string> entries;
    for (const ManifestFile& file : files)
        entries.push_back("\"path\": " + json::Windows1252(file.path) + ", " + Quoted("host", file.host) + ", " +
                          Number("size", file.size) + ", " + Plain("sha256", file.sha256) + StampFields(file.stamp));
    return text + List("files", entries, true) + "}\n";
}

bool ParseManifest(std::string_view text, const std::string& name, Manifest& manifest, std::string& error)
{
    manifest = Manifest();
    json::Document document;
    std::string why;
    if (!json::Parse(text, document, why) || !document.Root().IsObject()) {
        error = name + " is not a manifest this program wrote (not JSON, or cut short)";
        return false;
    }
    const json::Value top = document.Root();
    int format = 1;
    std::string missing;
    if (Fields(top, missing).Has("format") && !Fields(top, missing).Number("format", format))
        format = 0;
    if (format < 1 || format > kManifestFormat) {
        error = name + " has a format this version does not know (" + top.Member("format").Dump() +
                "): a later version of cmpci-uninstall wrote it";
        return false;
    }
    if (!ReadFields(top, format, manifest, missing)) {
        error = name + " is not a manifest this program wrote (" + missing + ")";
        return false;
    }
    return PathsStayInside(manifest, name, error);
}

}  // namespace backup
