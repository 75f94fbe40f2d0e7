// REGEDIT4 files. The reader takes a file as regedit's import takes it: one line-driven state machine over
// one parser struct, used twice. Loading scans the whole file once to build the key tree and the sections
// (each key line up to the next); a key's values are read later, when first asked for, by running the same
// machine over that key's sections only. The writer writes the form regedit writes.
#include "registry/regedit4.h"

#include <array>
#include <cstring>
#include <utility>

#include "common/hex.h"
#include "common/path_parts.h"
#include "registry/registry_tree.h"

namespace emulated {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
// Longer key names are refused by the registry, and their key lines open nothing.
constexpr std::size_t kMaxKeyNameLength = 255;
// Offsets into the file are 32-bit; a registry file is far smaller than this in practice.
constexpr std::size_t kMaxFileSize = std::size_t {1} << 30;

// HexDigitValue of every byte, looked up: loading checks every digit of every hex list in the file.
constexpr std::array<signed char, 256> kHexValues = [] {
    std::array<signed char, 256> values {};
    for (int c = 0; c < 256; ++c)
        values[static_cast<std::size_t>(c)] = static_cast<signed char>(HexDigitValue(static_cast<char>(c)));
    return values;
}();

int HexValue(char c)
{
    return kHexValues[static_cast<unsigned char>(c)];
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}
bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

std::string_view SkipBlanks(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    return text.substr(i);
}

std::string_view TrimTrailingBlanks(std::string_view text)
{
    std::size_t n = text.size();
    while (n > 0 && IsBlank(text[n - 1]))
        --n;
    return text.substr(0, n);
}

bool EndsLine(std::string_view rest)
{
    return rest.empty() || rest.front() == ';';
}

// A hex number read as the C library's wcstoul reads one in base 16, which regedit uses: white space, a
// sign, an optional 0x, digits. `used` is 0 when no digit was read. A value past 32 bits saturates and sets
// `overflow`; a negative one wraps, as an unsigned long does.
struct HexNumber {
    std::size_t used = 0;
    DWORD value = 0;
    bool overflow = false;
};

HexNumber ReadHexNumber(std::string_view text)
{
    HexNumber number;
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
        i += 2;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && HexDigitValue(text[i]) >= 0; ++i, ++digits) {
        value = value * 16 + static_cast<unsigned>(HexDigitValue(text[i]));
        if (value > 0xFFFFFFFFu) {
            number.overflow = true;
            value = 0xFFFFFFFFu;
        }
    }
    if (digits == 0)
        return number;
    number.used = i;
    number.value = number.overflow ? 0xFFFFFFFFu : static_cast<DWORD>(negative ? 0u - value : value);
    return number;
}

// Reads a quoted text, `text` starting just after the opening quote, undoing regedit's escapes: \n and \r
// are line ends, \\ and \" themselves, and a backslash before any other character is dropped. \0, a
// backslash at the end of the line, or no closing quote make the text unreadable. *used counts up to and
// including the closing quote. With `out` null the text is only checked.
bool ReadQuoted(std::string_view text, std::string* out, std::size_t* used)
{
    if (out)
        out->clear();
    std::size_t i = 0;
    while (i < text.size()) {
        // Copy the plain run up to the next quote or backslash at once. A plain loop: find_first_of looks
        // each character up in the set with a call of its own.
        std::size_t stop = i;
        while (stop < text.size() && text[stop] != '"' && text[stop] != '\\')
            ++stop;
        if (stop == text.size())
            return false;
        if (out)
            out->append(text.data() + i, stop - i);
        if (text[stop] == '"') {
            *used = stop + 1;
            return true;
        }
        if (stop + 1 == text.size() || text[stop + 1] == '0')
            return false;
        char c = text[stop + 1];
        if (out)
            out->push_back(c == 'n' ? '\n' : c == 'r' ? '\r' : c);
        i = stop + 2;
    }
    return false;
}

// The file split into lines as regedit splits it: at CRLF, LF or a lone CR. A line's content ends at a zero
// byte, as regedit's text functions see it.
class LineSplitter {
public:
    LineSplitter(std::string_view text, std::size_t begin, std::size_t end)
        : text_(text), pos_(begin), end_(end), zeros_(std::memchr(text.data() + begin, '\0', end - begin) != nullptr)
    {
    }

    bool Next(std::string_view* line, std::size_t* start)
    {
        if (pos_ >= end_)
            return false;
        const char* base = text_.data();
        const void* lf = std::memchr(base + pos_, '\n', end_ - pos_);
        std::size_t stop = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - base) : end_;
        const void* cr = std::memchr(base + pos_, '\r', stop - pos_);
        std::size_t next = stop + 1;
        if (cr) {
            stop = static_cast<std::size_t>(static_cast<const char*>(cr) - base);
            next = stop + 1 < end_ && base[stop + 1] == '\n' ? stop + 2 : stop + 1;
        }
        *start = pos_;
        *line = text_.substr(pos_, stop - pos_);
        if (const void* zero = zeros_ ? std::memchr(line->data(), '\0', line->size()) : nullptr) {
            line->remove_suffix(line->size() - static_cast<std::size_t>(static_cast<const char*>(zero) - line->data()));
        }
        pos_ = next;
        return true;
    }

private:
    std::string_view text_;
    std::size_t pos_;
    std::size_t end_;
    bool zeros_;  // the range holds a zero byte somewhere
};

// The value types a data text may start with, after "name"=, and how the rest is read.
enum class ValueForm { Dword, Hex, TypedHex };
struct TypePrefix {
    std::string_view tag;
    ValueForm form;
};
constexpr TypePrefix kTypePrefixes[] = {
    {"dword:", ValueForm::Dword},
    {"hex:", ValueForm::Hex},
    {"hex(", ValueForm::TypedHex},
};

// The import's state machine. Scanning (impl set) builds keys and sections and reports skipped lines;
// replaying (values set) applies one key's value lines.
struct Parser {
    enum class State {
        LineStart,        // a new line: key line, value line, comment or anything else
        HexContinuation,  // a hex list ended with a backslash: the next hex line continues it
    };

    Registry::Impl* impl = nullptr;
    std::vector<Value>* values = nullptr;
    LoadResult* result = nullptr;

    State state = State::LineStart;
    KeyId key = kNoKey;  // the key value lines go to; kNoKey after a key line that opened nothing
    unsigned line = 0;

    // The value being read.
    std::string name;
    DWORD type = 0;
    std::string data;

    // The key path of the latest key line, component by component, so that the next one, which most often
    // shares all but its last component, resolves only what differs.
    struct Step {
        std::string_view name;
        KeyId key;
    };
    std::vector<Step> lastPath;
    int lastRoot = -1;
    std::string_view lastRootText;  // the root as that key line spelled it

    void Skip(const char* reason)
    {
        if (!result)
            return;
        ++result->skippedCount;
        if (result->skipped.size() < kSkippedLinesKept)
            result->skipped.push_back({line, reason});
    }

    void Feed(std::string_view text, std::size_t offset)
    {
        ++line;
        if (state == State::HexContinuation)
            return OnContinuation(text);
        std::string_view rest = SkipBlanks(text);
        if (rest.empty())
            return;
        switch (rest.front()) {
        case '[': return OnKeyLine(rest.substr(1), offset);
        case '@': name.clear(); return OnValueData(rest.substr(1));
        case '"': {
            std::size_t used = 0;
            if (!ReadQuoted(rest.substr(1), values ? &name : nullptr, &used)) {
                return Skip("value name without a closing quote or with a \\0");
            }
            return OnValueData(rest.substr(1 + used));
        }
        case ';':
        case '#': return;
        default: return Skip("not a key line, value line or comment");
        }
    }

    // The end of the lines fed: a hex list still continued is complete as it stands.
    void Finish()
    {
        if (state == State::HexContinuation)
            Store();
        state = State::LineStart;
    }

    void OnKeyLine(std::string_view rest, std::size_t offset)
    {
        std::size_t close = rest.rfind(']');
        if (rest.empty() || IsBlank(rest.front()) || close == std::string_view::npos) {
            // regedit passes over such a line and its values still go to the key before it.
            return Skip("key line that is not one: a blank after [ or no ]");
        }
        if (!impl)
            return;  // replaying: the next section begins here
        std::string_view path = rest.substr(0, close);
        const auto begin = static_cast<std::uint32_t>(offset);
        if (!path.empty() && path.front() == '-') {
            impl->AddSection(begin, kNoKey, false);
            key = kNoKey;
            return DeleteKeyLine(path.substr(1));
        }
        KeyId reached = kNoKey;
        key = OpenKeyLine(path, &reached);
        impl->AddSection(begin, reached, key != kNoKey);
    }

    // The key a key line names, made with its missing parents; kNoKey when it names none. Empty components
    // (doubled, leading or trailing backslashes) are passed over, as the registry passes over them.
    // `reached` is the deepest key the line made or passed through, also when it names none.
    KeyId OpenKeyLine(std::string_view path, KeyId* reached)
    {
        // Most key lines spell their root as the one before did.
        int root = lastRoot >= 0 && path.substr(0, lastRootText.size()) == lastRootText &&
                           (path.size() == lastRootText.size() || path[lastRootText.size()] == '\\')
                       ? lastRoot
                       : RootIndexByName(path);
        if (root < 0) {
            Skip("key line with an unknown root key");
            return kNoKey;
        }
        std::size_t slash = path.find('\\');
        if (root != lastRoot)
            lastPath.clear();
        lastRoot = root;
        lastRootText = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        KeyId found = impl->Root(root);
        std::size_t depth = 0;
        bool same = true;  // still on the previous key line's path
        PathParts parts(path);
        for (std::string_view part; parts.Next(part);) {
            if (part.empty())
                continue;
            if (part.size() > kMaxKeyNameLength) {
                *reached = found;
                lastPath.resize(depth);
                Skip("key line with a key name longer than 255 characters");
                return kNoKey;
            }
            if (same && depth < lastPath.size() && lastPath[depth].name == part) {
                found = lastPath[depth].key;
            } else {
                same = false;
                found = impl->FindOrAddChild(found, part);
                lastPath.resize(depth);
                lastPath.push_back({part, found});
            }
            ++depth;
        }
        lastPath.resize(depth);
        *reached = found;
        return found;
    }

    void DeleteKeyLine(std::string_view path)
    {
        if (path.empty() || (path.front() != 'H' && path.front() != 'h'))
            return Skip("deletion line that names no key");
        int root = RootIndexByName(path);
        if (root < 0)
            return Skip("deletion line with an unknown root key");
        std::size_t slash = path.find('\\');
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        KeyId target = impl->Root(root);
        PathParts parts(path);
        for (std::string_view part; target != kNoKey && parts.Next(part);) {
            if (!part.empty())
                target = impl->FindChild(target, part);
        }
        if (target == impl->Root(root))
            return Skip("deletion line for a whole root key");
        if (target == kNoKey)
            return;  // nothing to delete
        impl->DetachSubtree(target, false);
        lastPath.clear();
        lastRoot = -1;
    }

    // After the value name: "=" and the data.
    void OnValueData(std::string_view rest)
    {
        rest = SkipBlanks(rest);
        if (rest.empty() || rest.front() != '=')
            return Skip("value line without = after the name");
        rest = TrimTrailingBlanks(SkipBlanks(rest.substr(1)));
        if (!rest.empty() && rest.front() == '-') {
            if (!EndsLine(SkipBlanks(rest.substr(1))))
                return Skip("value deletion line with more after the -");
            return DeleteValue();
        }
        if (!rest.empty() && rest.front() == '"') {
            std::size_t used = 0;
            if (!ReadQuoted(rest.substr(1), values ? &data : nullptr, &used)) {
                return Skip("text value without a closing quote or with a \\0");
            }
            if (!EndsLine(SkipBlanks(rest.substr(1 + used))))
                return Skip("more after the closing quote");
            // Stored without a terminator, as Windows 9x stores a string; a read gives it one.
            type = REG_SZ;
            return Store();
        }
        // The type tags are matched in this case only, as regedit matches them.
        for (const TypePrefix& prefix : kTypePrefixes) {
            if (rest.substr(0, prefix.tag.size()) != prefix.tag)
                continue;
            rest = rest.substr(prefix.tag.size());
            switch (prefix.form) {
            case ValueForm::Dword:
                return OnDword(rest);
            case ValueForm::Hex:
                type = REG_BINARY;
                data.clear();
                return OnHexData(rest);
            case ValueForm::TypedHex:
                return OnTypedHex(rest);
            }
        }
        Skip("unknown value type");
    }

    // "hex(N):" data: the type in hex digits, then the bytes.
    void OnTypedHex(std::string_view rest)
    {
        if (rest.empty() || (rest.size() > 1 && (rest[1] == 'x' || rest[1] == 'X')))
            return Skip("bad hex(type)");
        HexNumber number = ReadHexNumber(rest);
        rest = rest.substr(number.used);
        if (number.overflow || rest.size() < 2 || rest[0] != ')' || rest[1] != ':')
            return Skip("bad hex(type)");
        type = number.value;
        data.clear();
        OnHexData(rest.substr(2));
    }

    void OnDword(std::string_view rest)
    {
        rest = SkipBlanks(rest);
        if (rest.empty())
            return Skip("dword without digits");
        std::size_t digits = 0;
        DWORD number = 0;
        while (digits < rest.size() && HexDigitValue(rest[digits]) >= 0) {
            number = (number << 4) | static_cast<DWORD>(HexDigitValue(rest[digits]));
            ++digits;
        }
        if (digits > 8)
            return Skip("dword of more than 8 digits");
        if (!EndsLine(SkipBlanks(rest.substr(digits))))
            return Skip("more after the dword");
        type = REG_DWORD;
        data.assign(4, '\0');
        for (int i = 0; i < 4; ++i)
            data[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
        Store();
    }

    // A comma-separated hex list, on the value's line or on a continuation line.
    void OnHexData(std::string_view rest)
    {
        state = State::LineStart;
        if (rest.empty())
            return Store();
        bool continued = false;
        while (!rest.empty()) {
            // Most bytes are two digits and a comma, as regedit writes them.
            if (rest.size() >= 2 && HexValue(rest[0]) >= 0 && HexValue(rest[1]) >= 0 &&
                (rest.size() == 2 || rest[2] == ',')) {
                if (values)
                    data.push_back(static_cast<char>(HexValue(rest[0]) * 16 + HexValue(rest[1])));
                rest.remove_prefix(rest.size() == 2 ? 2 : 3);
                continue;
            }
            HexNumber number = ReadHexNumber(rest);
            if (number.value > 0xFF)
                return DropHex("hex byte above ff");
            if (number.used == 0) {
                rest = SkipBlanks(rest);
                if (!rest.empty() && rest.front() == '\\') {
                    continued = true;
                    rest.remove_prefix(1);
                    break;
                }
                if (!rest.empty() && rest.front() == ';')
                    break;
                return DropHex("bad hex list");
            }
            if (values)
                data.push_back(static_cast<char>(number.value));
            rest.remove_prefix(number.used);
            if (!rest.empty() && rest.front() != ',') {
                if (!EndsLine(SkipBlanks(rest)))
                    return DropHex("bad hex list");
                break;
            }
            if (!rest.empty())
                rest.remove_prefix(1);
        }
        if (!continued)
            return Store();
        if (!EndsLine(SkipBlanks(rest)))
            return DropHex("more after the continuation backslash");
        state = State::HexContinuation;
    }

    void OnContinuation(std::string_view text)
    {
        std::string_view rest = SkipBlanks(text);
        if (EndsLine(rest))
            return;  // blank and comment lines inside a continued list are passed over
        if (HexDigitValue(rest.front()) < 0) {
            state = State::LineStart;
            return DropHex("continued hex value ended by a line that is not hex: value and line skipped");
        }
        OnHexData(rest);
    }

    void DropHex(const char* reason)
    {
        state = State::LineStart;
        Skip(reason);
    }

    // Data given as hex is stored as given, whatever its type: no terminator is added or dropped.
    void Store()
    {
        if (key == kNoKey)
            return Skip("value line for no key");
        if (!values)
            return;
        for (Value& value : *values) {
            if (SameName(value.name, name)) {
                value.type = type;
                value.data = data;
                return;
            }
        }
        values->push_back({name, type, data});
    }

    void DeleteValue()
    {
        if (key == kNoKey)
            return Skip("value deletion line for no key");
        if (!values)
            return;
        for (auto it = values->begin(); it != values->end(); ++it) {
            if (SameName(it->name, name)) {
                values->erase(it);
                return;
            }
        }
    }
};

// --- Writing ---

// Quoted text, escaped as the reader undoes it. A line end can stand only in a value name (text data holding
// one goes out as hex): it is written as \r or \n, so that the name stays on its line.
void AppendEscaped(std::string& out, std::string_view text)
{
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            out += c == '\r' ? "\\r" : "\\n";
            continue;
        }
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
}

void AppendHexByte(std::string& out, unsigned char byte)
{
    out.push_back(HexDigit(byte >> 4u));
    out.push_back(HexDigit(byte));
}

void AppendHexNumber(std::string& out, DWORD number, int minDigits)
{
    char digits[8];
    int count = 0;
    do {
        digits[count++] = HexDigit(number);
        number >>= 4;
    } while (number != 0);
    while (count < minDigits)
        digits[count++] = '0';
    while (count > 0)
        out.push_back(digits[--count]);
}

// A text value can be written in quotes when the reader takes the quotes back to the same bytes: a string
// stored without a terminator, with no zero byte and no line end in it.
bool WritableAsText(const Value& value)
{
    return value.type == REG_SZ && value.data.find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos;
}

}  // namespace

void AppendRegedit4Value(std::string& out, const Value& value)
{
    const std::size_t lineStart = out.size();
    if (value.name.empty()) {
        out += '@';
    } else {
        out += '"';
        AppendEscaped(out, value.name);
        out += '"';
    }
    out += '=';
    if (WritableAsText(value)) {
        out += '"';
        AppendEscaped(out, value.data);
        out += "\"\r\n";
        return;
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        DWORD number = 0;
        for (int i = 3; i >= 0; --i)
            number = (number << 8) | static_cast<unsigned char>(value.data[i]);
        out += "dword:";
        AppendHexNumber(out, number, 8);
        out += "\r\n";
        return;
    }
    if (value.type == REG_BINARY) {
        out += "hex:";
    } else {
        out += "hex(";
        AppendHexNumber(out, value.type, 1);
        out += "):";
    }
    // A line is broken after the comma that brings it to 77 characters or more, when more bytes follow.
    std::size_t lineLength = out.size() - lineStart;
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        AppendHexByte(out, static_cast<unsigned char>(value.data[i]));
        lineLength += 2;
        if (i + 1 == value.data.size())
            break;
        out += ',';
        ++lineLength;
        if (lineLength >= 77) {
            out += "\\\r\n  ";
            lineLength = 2;
        }
    }
    out += "\r\n";
}

namespace {

void AppendKey(std::string& out, std::string_view path, const std::vector<Value>& values)
{
    out += "\r\n[";
    out += path;
    out += "]\r\n";
    for (const Value& value : values)
        AppendRegedit4Value(out, value);
}

// Writes every key below `root`, depth-first, parents before their subkeys, subkeys in stored order.
// `rootPath` is the full path of `root`.
void AppendTree(std::string& out, const Registry::Impl& impl, KeyId root, std::string rootPath)
{
    struct Frame {
        KeyId key;
        std::size_t pathLength;  // length of the path up to and including the parent's name
    };
    std::string path = std::move(rootPath);
    std::vector<Frame> stack;
    auto pushChildren = [&](KeyId key, std::size_t length) {
        impl.Expand(key);
        for (std::uint32_t i = impl.Node(key).childCount; i > 0; --i)
            stack.push_back({impl.Child(key, i - 1), length});
    };
    pushChildren(root, path.size());
    while (!stack.empty()) {
        Frame frame = stack.back();
        stack.pop_back();
        path.resize(frame.pathLength);
        path += '\\';
        path += impl.Node(frame.key).name;
        AppendKey(out, path, impl.ValuesOf(frame.key));
        pushChildren(frame.key, path.size());
    }
}

}  // namespace

void ParseSectionValues(const Registry::Impl& impl, KeyId key, std::vector<Value>& out)
{
    Parser parser;
    parser.values = &out;
    parser.key = key;
    for (std::uint32_t s = impl.Node(key).source.sections.first; s != kNoSection; s = impl.sections[s].next) {
        const std::size_t end = s + 1 < impl.sections.size() ? impl.sections[s + 1].begin : impl.text.size();
        LineSplitter lines(impl.text, impl.sections[s].begin, end);
        std::string_view line;
        std::size_t start = 0;
        lines.Next(&line, &start);  // the key line itself
        while (lines.Next(&line, &start))
            parser.Feed(line, start);
        parser.Finish();
    }
}

std::string DescribeNonRegedit4(std::string_view text)
{
    if (text.empty())
        return "is empty";
    if (text.size() >= 2 && ((text[0] == '\xFF' && text[1] == '\xFE') || (text[0] == '\xFE' && text[1] == '\xFF'))) {
        return "is a UTF-16 text file";
    }
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        return "begins with a UTF-8 byte order mark";
    if (text.substr(0, 4) == "CREG")
        return "is a binary Windows 9x registry file (SYSTEM.DAT or USER.DAT)";
    if (text.substr(0, 4) == "regf")
        return "is a binary Windows NT registry hive";
    std::string_view first = text.substr(0, text.find_first_of("\r\n"));
    first = SkipBlanks(first);
    if (first == "Windows Registry Editor Version 5.00")
        return "is a Windows Registry Editor Version 5.00 file";
    if (first.substr(0, 7) == "REGEDIT")
        return "has the header line \"" + std::string(first.substr(0, 40)) + "\"";
    return "does not begin with the line REGEDIT4";
}

LoadResult LoadRegedit4(std::string text, Registry& registry)
{
    LoadResult result;
    if (text.size() > kMaxFileSize) {
        result.line = 1;
        result.message = "is larger than 1 GiB";
        return result;
    }
    LineSplitter lines(text, 0, text.size());
    std::string_view line;
    std::size_t start = 0;
    if (!lines.Next(&line, &start) || SkipBlanks(line) != kHeader) {
        result.line = 1;
        result.message = DescribeNonRegedit4(text);
        return result;
    }

    // Whatever the registry held before is replaced; handles to it are retired with it.
    Registry::Impl& impl = ImplOf(registry);
    impl = Registry::Impl();
    impl.text = std::move(text);
    // A key line and its values take some 100 bytes in a typical export; reserving for more costs address
    // space only, not memory, until it is used.
    impl.ReserveKeys(impl.text.size() / 128);
    impl.sections.reserve(impl.text.size() / 64);

    Parser parser;
    parser.impl = &impl;
    parser.result = &result;
    LineSplitter body(impl.text, 0, impl.text.size());
    body.Next(&line, &start);  // the header
    parser.line = 1;
    while (body.Next(&line, &start))
        parser.Feed(line, start);
    parser.Finish();
    impl.preambleEnd = impl.sections.empty() ? static_cast<std::uint32_t>(impl.text.size()) : impl.sections[0].begin;

    // Without keys of its own, HKEY_CURRENT_USER stands for the default user, as on Windows 9x.
    const KeyNode& currentUser = impl.Node(impl.Root(kCurrentUser));
    if (currentUser.childCount == 0 && currentUser.source.sections.first == kNoSection) {
        KeyId defaultUser = impl.FindChild(impl.Root(kUsers), ".DEFAULT");
        if (defaultUser != kNoKey)
            impl.aliases[kCurrentUser] = defaultUser;
    }
    result.ok = true;
    return result;
}

std::string SaveRegedit4(const Registry& registry)
{
    const Registry::Impl& impl = ImplOf(registry);
    std::string out(kHeader);
    out += "\r\n";
    for (int index : {kLocalMachine, kCurrentUser, kUsers, kClassesRoot, kCurrentConfig, kDynData}) {
        // A mapped root (HKEY_CURRENT_USER, say) is another name for a key written under its own root.
        if (impl.aliases[index] != kNoKey)
            continue;
        const KeyId root = impl.Root(index);
        const std::vector<Value>& values = impl.ValuesOf(root);
        if (!values.empty())
            AppendKey(out, kRootKeys[index].name, values);
        AppendTree(out, impl, root, kRootKeys[index].name);
    }
    out += "\r\n";
    return out;
}

namespace {

// A removed key's path as the file holds it, its root's name first.
std::string RemovedPath(const Registry::Impl& impl, KeyId key)
{
    std::string path(impl.Node(key).name);
    for (KeyId up = impl.Node(key).parent; up != kNoKey; up = impl.Node(up).parent) {
        path.insert(0, 1, '\\');
        path.insert(0, impl.Node(up).name);
    }
    return path;
}

}  // namespace

std::string DeletingRegedit4(const Registry& registry)
{
    const Registry::Impl& impl = ImplOf(registry);
    std::string out(kHeader);
    out += "\r\n";
    for (KeyId key : impl.removedRoots)
        out += "\r\n[-" + RemovedPath(impl, key) + "]\r\n";
    out += "\r\n";
    return out;
}

std::string PuttingBackRegedit4(const Registry& registry)
{
    const Registry::Impl& impl = ImplOf(registry);
    std::string out(kHeader);
    out += "\r\n";
    for (KeyId key : impl.removedRoots) {
        std::string path = RemovedPath(impl, key);
        // The path runs up the tree as the file holds it: keys of a mapped HKEY_CURRENT_USER stand below
        // HKEY_USERS, where the file has them.
        AppendKey(out, path, impl.ValuesOf(key));
        AppendTree(out, impl, key, path);
    }
    out += "\r\n";
    return out;
}

}  // namespace emulated
