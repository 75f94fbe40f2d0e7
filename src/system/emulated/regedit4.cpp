// REGEDIT4 files: the reader (a line-driven state machine over one parser struct) and the writer, which
// writes the form regedit writes so that an unchanged registry saves back to the very same bytes.
#include <utility>

#include "system/emulated/registry_tree.h"

namespace emulated {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view SkipBlanks(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    return text.substr(i);
}

std::string_view TrimTrailingBlanks(std::string_view text) {
    std::size_t n = text.size();
    while (n > 0 && IsBlank(text[n - 1])) --n;
    return text.substr(0, n);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWithFolded(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameName(text.substr(0, prefix.size()), prefix);
}

// Reads 1 to 8 hex digits from the front of `text` into *number; returns how many were read (0 on none or
// on more than 8).
std::size_t ReadHexNumber(std::string_view text, DWORD* number) {
    std::size_t i = 0;
    DWORD result = 0;
    while (i < text.size() && HexDigit(text[i]) >= 0) {
        if (i == 8) return 0;
        result = (result << 4) | static_cast<DWORD>(HexDigit(text[i]));
        ++i;
    }
    *number = result;
    return i;
}

// The line-driven reader. Each line goes to the handler of the current state; a handler either accepts the
// line (and may move to another state) or records the error and stops the run.
struct Parser {
    enum class State {
        Header,           // waiting for the "REGEDIT4" line
        Body,             // key lines, value lines, comments, blank lines
        HexContinuation,  // the previous hex line ended with a backslash
    };

    explicit Parser(Registry& target) : impl(target.impl()) {}

    Registry::Impl& impl;
    State state = State::Header;
    unsigned line = 0;
    Key* key = nullptr;  // the key of the latest key line
    Value pending;       // a hex value spread over continuation lines
    LoadResult result;

    bool Fail(std::string message) {
        result.ok = false;
        result.line = line;
        result.message = std::move(message);
        return false;
    }

    bool Feed(std::string_view text) {
        ++line;
        switch (state) {
            case State::Header: return OnHeader(text);
            case State::Body: return OnBody(text);
            case State::HexContinuation: return OnContinuation(text);
        }
        return false;
    }

    bool Finish() {
        if (state == State::Header) {
            line = 1;  // an empty file: the header line is the one missing
            return Fail("missing REGEDIT4 header");
        }
        if (state == State::HexContinuation) return Fail("hex value continued past the end of the file");
        return true;
    }

    bool OnHeader(std::string_view text) {
        if (text != kHeader) return Fail("first line is not REGEDIT4");
        state = State::Body;
        return true;
    }

    bool OnBody(std::string_view text) {
        std::string_view rest = SkipBlanks(text);
        if (rest.empty() || rest.front() == ';') return true;
        if (rest.front() == '[') return OnKeyLine(rest);
        if (rest.front() == '"' || rest.front() == '@') return OnValueLine(rest);
        return Fail("unrecognised line");
    }

    bool OnContinuation(std::string_view text) {
        if (SkipBlanks(text).empty()) return Fail("empty line inside a continued hex value");
        return ReadHexBytes(text);
    }

    bool OnKeyLine(std::string_view text) {
        std::size_t close = text.rfind(']');
        if (close == std::string_view::npos) return Fail("key line without closing bracket");
        if (!SkipBlanks(text.substr(close + 1)).empty()) return Fail("junk after the key line");
        std::string_view path = text.substr(1, close - 1);
        if (!path.empty() && path.front() == '-') return Fail("key removal line is not allowed");
        std::size_t slash = path.find('\\');
        int root = RootIndexByName(path.substr(0, slash));
        if (root < 0) return Fail("unknown root key");
        impl.NoteRoot(root);
        if (slash == std::string_view::npos) {
            impl.rootLine[root] = true;
            key = impl.roots[root];
            return true;
        }
        key = impl.Walk(impl.roots[root], path.substr(slash + 1), true);
        if (!key) return Fail("empty key name in the key path");
        return true;
    }

    bool OnValueLine(std::string_view text) {
        if (!key) return Fail("value line before any key line");
        Value value;
        std::string_view rest;
        if (text.front() == '@') {
            rest = text.substr(1);
        } else {
            std::size_t used = 0;
            if (!ReadQuoted(text, &value.name, &used)) return Fail("unterminated value name");
            rest = text.substr(used);
        }
        rest = SkipBlanks(rest);
        if (rest.empty() || rest.front() != '=') return Fail("missing = after the value name");
        rest = SkipBlanks(rest.substr(1));

        if (!rest.empty() && rest.front() == '"') {
            std::size_t used = 0;
            if (!ReadQuoted(rest, &value.data, &used)) return Fail("unterminated string");
            if (!SkipBlanks(rest.substr(used)).empty()) return Fail("junk after the value");
            value.data.push_back('\0');
            value.type = REG_SZ;
            value.form = ValueForm::String;
            Registry::SetValue(*key, std::move(value));
            return true;
        }
        if (!rest.empty() && rest.front() == '-') return Fail("value removal line is not allowed");
        if (StartsWithFolded(rest, "dword:")) {
            rest = rest.substr(6);
            DWORD number = 0;
            std::size_t digits = ReadHexNumber(rest, &number);
            if (digits == 0) return Fail("bad dword value");
            if (!SkipBlanks(rest.substr(digits)).empty()) return Fail("junk after the value");
            value.type = REG_DWORD;
            value.form = ValueForm::Dword;
            for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
            Registry::SetValue(*key, std::move(value));
            return true;
        }
        if (StartsWithFolded(rest, "hex:")) {
            value.type = REG_BINARY;
            value.form = ValueForm::Hex;
            pending = std::move(value);
            return ReadHexBytes(rest.substr(4));
        }
        if (StartsWithFolded(rest, "hex(")) {
            rest = rest.substr(4);
            DWORD type = 0;
            std::size_t digits = ReadHexNumber(rest, &type);
            rest = rest.substr(digits);
            if (digits == 0 || rest.size() < 2 || rest[0] != ')' || rest[1] != ':') return Fail("bad hex value type");
            value.type = type;
            value.form = ValueForm::HexTyped;
            pending = std::move(value);
            return ReadHexBytes(rest.substr(2));
        }
        return Fail("unknown value type");
    }

    // Reads a quoted text at the front of `text` (which starts with the opening quote) into *out, undoing
    // the \\ and \" escapes. A backslash before any other byte is kept as it is, with that byte, so that a
    // hand-written path such as "C:\Windows" reads as meant. *used is the length up to the closing quote.
    static bool ReadQuoted(std::string_view text, std::string* out, std::size_t* used) {
        for (std::size_t i = 1; i < text.size(); ++i) {
            char c = text[i];
            if (c == '"') {
                *used = i + 1;
                return true;
            }
            if (c == '\\' && i + 1 < text.size()) {
                char next = text[i + 1];
                if (next == '\\' || next == '"') {
                    out->push_back(next);
                    ++i;
                    continue;
                }
            }
            out->push_back(c);
        }
        return false;
    }

    // Reads a comma-separated list of hex bytes into the pending value. A backslash at the end continues
    // the list on the next line; otherwise the value is complete and stored.
    bool ReadHexBytes(std::string_view text) {
        std::string_view rest = TrimTrailingBlanks(text);
        bool continued = !rest.empty() && rest.back() == '\\';
        if (continued) rest.remove_suffix(1);
        rest = SkipBlanks(rest);
        bool expectByte = false;  // true after a comma: a byte must follow unless the line continues
        while (!rest.empty()) {
            int high = HexDigit(rest.front());
            if (high < 0) return Fail("bad hex data");
            int byte = high;
            rest.remove_prefix(1);
            if (!rest.empty() && HexDigit(rest.front()) >= 0) {
                byte = byte * 16 + HexDigit(rest.front());
                rest.remove_prefix(1);
            }
            pending.data.push_back(static_cast<char>(byte));
            rest = SkipBlanks(rest);
            expectByte = false;
            if (rest.empty()) break;
            if (rest.front() != ',') return Fail("bad hex data");
            rest = SkipBlanks(rest.substr(1));
            expectByte = true;
        }
        if (expectByte && !continued) return Fail("bad hex data");
        if (continued) {
            state = State::HexContinuation;
            return true;
        }
        state = State::Body;
        Registry::SetValue(*key, std::move(pending));
        pending = Value();
        return true;
    }
};

// --- Writing ---

void AppendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
}

void AppendHexByte(std::string& out, unsigned char byte) {
    static const char kDigits[] = "0123456789abcdef";
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0xF]);
}

void AppendHexNumber(std::string& out, DWORD number, int minDigits) {
    static const char kDigits[] = "0123456789abcdef";
    char digits[8];
    int count = 0;
    do {
        digits[count++] = kDigits[number & 0xF];
        number >>= 4;
    } while (number != 0);
    while (count < minDigits) digits[count++] = '0';
    while (count > 0) out.push_back(digits[--count]);
}

// How a value can be written: in the form it was read in when its data still fits that form, else as a
// typed hex list, which holds any data.
ValueForm WritableForm(const Value& value) {
    switch (value.form) {
        case ValueForm::String:
            if (value.type == REG_SZ && !value.data.empty() && value.data.back() == '\0' &&
                value.data.find('\n') == std::string::npos) {
                return ValueForm::String;
            }
            break;
        case ValueForm::Dword:
            if (value.type == REG_DWORD && value.data.size() == 4) return ValueForm::Dword;
            break;
        case ValueForm::Hex:
        case ValueForm::HexTyped: break;
    }
    return value.type == REG_BINARY && value.form != ValueForm::HexTyped ? ValueForm::Hex : ValueForm::HexTyped;
}

void AppendValue(std::string& out, const Value& value) {
    const std::size_t lineStart = out.size();
    if (value.name.empty()) {
        out += '@';
    } else {
        out += '"';
        AppendEscaped(out, value.name);
        out += '"';
    }
    out += '=';
    const ValueForm form = WritableForm(value);
    if (form == ValueForm::String) {
        out += '"';
        AppendEscaped(out, std::string_view(value.data).substr(0, value.data.size() - 1));
        out += "\"\r\n";
        return;
    }
    if (form == ValueForm::Dword) {
        DWORD number = 0;
        for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<unsigned char>(value.data[i]);
        out += "dword:";
        AppendHexNumber(out, number, 8);
        out += "\r\n";
        return;
    }
    if (form == ValueForm::Hex) {
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
        if (i + 1 == value.data.size()) break;
        out += ',';
        ++lineLength;
        if (lineLength >= 77) {
            out += "\\\r\n  ";
            lineLength = 2;
        }
    }
    out += "\r\n";
}

void AppendKeyLine(std::string& out, std::string_view path) {
    out += "\r\n[";
    out += path;
    out += "]\r\n";
}

void AppendValues(std::string& out, const Key& key) {
    for (const Value& value : key.values) AppendValue(out, value);
}

// Writes every key below `root`, depth-first, parents before their subkeys, subkeys in stored order.
void AppendTree(std::string& out, const Key& root, std::string_view rootName) {
    struct Frame {
        const Key* key;
        std::size_t pathLength;  // length of the path up to and including this key's name
    };
    std::string path(rootName);
    std::vector<Frame> stack;
    for (auto it = root.subkeys.rbegin(); it != root.subkeys.rend(); ++it) stack.push_back({*it, path.size()});
    while (!stack.empty()) {
        Frame frame = stack.back();
        stack.pop_back();
        path.resize(frame.pathLength);
        path += '\\';
        path += frame.key->name;
        AppendKeyLine(out, path);
        AppendValues(out, *frame.key);
        const std::size_t length = path.size();
        for (auto it = frame.key->subkeys.rbegin(); it != frame.key->subkeys.rend(); ++it) {
            stack.push_back({*it, length});
        }
    }
}

}  // namespace

LoadResult LoadRegedit4(std::string_view text, Registry& registry) {
    // Parse into a fresh registry, so that a refused file leaves `registry` as it was.
    Registry fresh;
    Parser parser(fresh);
    std::size_t pos = 0;
    bool ok = true;
    while (ok && pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ok = parser.Feed(line);
        pos = end + 1;
    }
    if (ok) ok = parser.Finish();
    if (!ok) return parser.result;

    Registry::Impl& source = fresh.impl();
    // Without keys of its own, HKEY_CURRENT_USER stands for the default user, as on Windows 9x.
    const Key& currentUser = *source.roots[kCurrentUser];
    if (currentUser.subkeys.empty() && currentUser.values.empty()) {
        if (Key* defaultUser = FindSubkey(*source.roots[kUsers], ".DEFAULT")) source.currentUser = defaultUser;
    }

    // Whatever the registry held before is replaced; its nodes stay alive, marked deleted, for any handle.
    Registry::Impl& target = registry.impl();
    for (auto& node : target.arena) node->deleted = true;
    target.arena.reserve(target.arena.size() + source.arena.size());
    for (auto& node : source.arena) target.arena.push_back(std::move(node));
    source.arena.clear();
    for (int i = 0; i < kRootCount; ++i) {
        target.roots[i] = source.roots[i];
        target.rootLine[i] = source.rootLine[i];
    }
    target.currentUser = source.currentUser;
    target.rootOrder = std::move(source.rootOrder);

    LoadResult result;
    result.ok = true;
    return result;
}

std::string SaveRegedit4(const Registry& registry) {
    const Registry::Impl& impl = registry.impl();
    std::string out(kHeader);
    out += "\r\n";
    for (int index : impl.rootOrder) {
        const Key& root = *impl.roots[index];
        if (impl.rootLine[index] || !root.values.empty()) {
            AppendKeyLine(out, root.name);
            AppendValues(out, root);
        }
        AppendTree(out, root, root.name);
    }
    out += "\r\n";
    return out;
}

}  // namespace emulated
