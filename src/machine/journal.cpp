#include "machine/journal.h"

#include <cerrno>
#include <ctime>

#include "json/json.h"

namespace emulated {

void Journal::Emit(const std::string& line)
{
    text_ += line;
    text_ += '\n';
    if (out_ != nullptr && writeError_ == 0) {
        // Written at once, so that a run that ends early still leaves its journal; every write is checked.
        errno = 0;
        if (std::fputs(line.c_str(), out_) < 0 || std::fputc('\n', out_) == EOF || std::fflush(out_) != 0)
            writeError_ = errno != 0 ? errno : EIO;
    }
}

void Journal::DeleteKey(std::string_view root, std::string_view path, bool existed)
{
    if (existed)
        ++keysRemoved_;
    Emit("{\"op\":\"delete-key\",\"root\":" + json::Windows1252(root) + ",\"path\":" + json::Windows1252(path) +
         ",\"existed\":" + (existed ? "true" : "false") + "}");
}

void Journal::DeleteFile(std::string_view path, FileOutcome outcome)
{
    if (outcome == FileOutcome::Removed)
        ++filesRemoved_;
    Emit("{\"op\":\"delete-file\",\"path\":" + json::Windows1252(path) +
         ",\"existed\":" + (outcome == FileOutcome::Missing ? "false" : "true") +
         (outcome == FileOutcome::Refused ? ",\"refused\":true}" : "}"));
}

void Journal::MessageBox(std::string_view caption, std::string_view text, UINT style, WORD language, int result)
{
    Emit("{\"op\":\"message-box\",\"caption\":" + json::Windows1252(caption) + ",\"text\":" + json::Windows1252(text) +
         ",\"style\":" + std::to_string(style) + ",\"language\":" + std::to_string(language) +
         ",\"result\":" + std::to_string(result) + "}");
}

void Journal::Left(std::string_view kind, std::string_view where, std::string_view removedBy)
{
    Emit("{\"op\":\"left\",\"kind\":" + json::Windows1252(kind) + ",\"where\":" + json::Windows1252(where) +
         ",\"removedBy\":" + json::Windows1252(removedBy) + "}");
}

void Journal::Kept(std::string_view kind, std::string_view where, std::string_view usedBy)
{
    Emit("{\"op\":\"kept\",\"kind\":" + json::Windows1252(kind) + ",\"where\":" + json::Windows1252(where) +
         ",\"usedBy\":" + json::Windows1252(usedBy) + "}");
}

void Journal::RegistryBackup(std::string_view where, std::string_view date, std::string_view damage, bool deviceKey,
                             std::size_t left)
{
    std::string line = "{\"op\":\"registry-backup\",\"where\":" + json::Windows1252(where);
    if (!date.empty()) {
        std::string stamp(date);
        if (const std::size_t blank = stamp.find(' '); blank != std::string::npos)
            stamp[blank] = 'T';
        line += ",\"date\":" + json::Windows1252(stamp);
    }
    if (!damage.empty())
        line += ",\"damaged\":" + json::Windows1252(damage);
    else
        line += std::string(",\"deviceKey\":") + (deviceKey ? "true" : "false") + ",\"left\":" + std::to_string(left);
    Emit(line + "}");
}

void Journal::Verified(const ReadBack& readBack)
{
    std::string line = std::string("{\"op\":\"verified\",\"matched\":") + (readBack.matched ? "true" : "false") +
                       ",\"sectors\":" + std::to_string(readBack.sectors) + ",\"files\":" +
                       std::to_string(readBack.files) + ",\"registryFiles\":" + std::to_string(readBack.registryFiles);
    if (!readBack.matched)
        line += ",\"mismatch\":" + json::Bytes(readBack.mismatch);
    Emit(line + "}");
}

void Journal::Begin(const Start& start)
{
    std::time_t now = std::time(nullptr);
    std::tm utc {};
    gmtime_r(&now, &utc);
    char time[32];
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
    Emit("{\"op\":\"start\",\"format\":" + std::to_string(kFormat) + ",\"version\":" + json::Bytes(start.version) +
         ",\"time\":\"" + time + "\",\"" + std::string(start.targetKind) + "\":" + json::Bytes(start.target) +
         ",\"mode\":" + json::Bytes(start.mode) + ",\"dryRun\":" + (start.dryRun ? "true" : "false") + "}");
}

void Journal::End(const Summary& summary)
{
    auto flag = [](bool value) { return value ? "true" : "false"; };
    Emit(std::string("{\"op\":\"summary\",\"cardFound\":") + flag(summary.cardFound) +
         ",\"declined\":" + flag(summary.declined) + ",\"keysRemoved\":" + std::to_string(summary.keysRemoved) +
         ",\"filesRemoved\":" + std::to_string(summary.filesRemoved) + ",\"left\":" + std::to_string(summary.left) +
         ",\"dryRun\":" + flag(summary.dryRun) + ",\"registrySaved\":" + flag(summary.saved) +
         ",\"stage\":\"" + summary.stage + "\",\"exitStatus\":" + std::to_string(summary.exitStatus) +
         (summary.backup.empty() ? std::string() : ",\"backup\":" + json::Bytes(summary.backup)) + "}");
}

void Journal::Restart(UINT flags, BOOL result, DWORD error)
{
    std::string line =
        "{\"op\":\"restart\",\"flags\":" + std::to_string(flags) + ",\"result\":" + std::to_string(result);
    if (result == 0)
        line += ",\"error\":" + std::to_string(error);
    Emit(line + "}");
}

}  // namespace emulated
