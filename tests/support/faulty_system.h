// A wrapper around any system operations provider that records every call as data and can make calls fail
// with the results the real calls give. It serves the host tests (around the emulated machine or a test
// double) and the Windows test program (around the Win32 provider) alike, so it needs nothing but the
// standard library.
//
// One counting rule decides which calls fail: counting the calls from 1 (all of them, or only those of one
// operation), `count` calls from call `first` on fail: 1 is "fail call N once", kForever "from call N on".
// A failing call returns its failure and does nothing else: no key is opened, nothing is written to the
// caller's buffers, nothing is deleted or removed, no box is shown. Calls that cannot fail on Windows
// (GetUserDefaultLangID, GetLastError) are counted but never fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "system/system_ops.h"

enum class Op {
    RegOpenKeyExA,
    RegEnumKeyA,
    RegQueryValueExA,
    RegCloseKey,
    RegDeleteKeyA,
    RemoveFile,
    GetWindowsDirectoryA,
    GetSystemDirectoryA,
    GetUserDefaultLangID,
    MessageBoxExA,
    ExitWindowsEx,
    GetLastError,
};

inline const char* OpName(Op op)
{
    static const char* const kNames[] = {
        "RegOpenKeyExA",        "RegEnumKeyA",   "RegQueryValueExA",     "RegCloseKey",
        "RegDeleteKeyA",        "RemoveFile",    "GetWindowsDirectoryA", "GetSystemDirectoryA",
        "GetUserDefaultLangID", "MessageBoxExA", "ExitWindowsEx",        "GetLastError",
    };
    return kNames[static_cast<int>(op)];
}

inline std::ostream& operator<<(std::ostream& out, Op op)
{
    return out << OpName(op);
}

// What a call gives when it fails on a real system; the first entry of an operation is its usual failure.
struct Failure {
    Op op;
    std::int64_t result;
};
inline constexpr Failure kFailures[] = {
    {Op::RegOpenKeyExA, ERROR_FILE_NOT_FOUND},
    {Op::RegOpenKeyExA, ERROR_ACCESS_DENIED},
    {Op::RegEnumKeyA, ERROR_MORE_DATA},
    {Op::RegEnumKeyA, ERROR_ACCESS_DENIED},
    {Op::RegEnumKeyA, ERROR_NO_MORE_ITEMS},
    {Op::RegEnumKeyA, ERROR_KEY_DELETED},
    {Op::RegQueryValueExA, ERROR_FILE_NOT_FOUND},
    {Op::RegQueryValueExA, ERROR_MORE_DATA},
    {Op::RegCloseKey, ERROR_INVALID_HANDLE},
    {Op::RegDeleteKeyA, ERROR_ACCESS_DENIED},
    {Op::RemoveFile, -1},
    {Op::GetWindowsDirectoryA, 0},
    {Op::GetSystemDirectoryA, 0},
    {Op::MessageBoxExA, 0},
    {Op::ExitWindowsEx, 0},
};
// The reason GetLastError gives after a failed ExitWindowsEx.
inline constexpr DWORD kExitWindowsFailure = ERROR_ACCESS_DENIED;

// The usual failure of an operation, none for one that cannot fail.
inline std::optional<std::int64_t> UsualFailure(Op op)
{
    for (const Failure& failure : kFailures) {
        if (failure.op == op)
            return failure.result;
    }
    return std::nullopt;
}

struct FaultRule {
    static constexpr unsigned kForever = ~0u;
    unsigned first = 0;  // counted from 1; 0 fails nothing
    unsigned count = 1;
    std::optional<Op> only;              // count only this operation's calls
    std::optional<std::int64_t> result;  // instead of each operation's usual failure
};

// One call as made: the key path, value name, file path or box caption it named (a subkey index or the
// restart flags as decimal text), the root for a key path, and what it returned.
struct Call {
    Op op;
    HKEY root = nullptr;
    std::string arg;
    std::int64_t result = 0;
    bool failed = false;  // the result came from the fault rule
};

inline std::ostream& operator<<(std::ostream& out, const Call& call)
{
    return out << call.op << "(" << call.arg << ") = " << call.result << (call.failed ? " [fault]" : "");
}

class FaultySystem final : public SystemOps {
public:
    explicit FaultySystem(SystemOps& inner, FaultRule rule = {}) : inner_(inner), rule_(rule) { }

    // A new rule, counting from the next call.
    void Fail(FaultRule rule)
    {
        rule_ = rule;
        seen_ = 0;
    }
    void FailCall(Op op, unsigned first, unsigned count = 1, std::optional<std::int64_t> result = std::nullopt)
    {
        Fail({first, count, op, result});
    }

    const std::deque<Call>& calls() const { return calls_; }
    // The arguments of one operation's calls, in order.
    std::vector<std::string> Args(Op op) const
    {
        std::vector<std::string> args;
        for (const Call& call : calls_) {
            if (call.op == op)
                args.push_back(call.arg);
        }
        return args;
    }
    std::size_t Count(Op op) const { return Args(op).size(); }
    // The calls of `op` on the key or root `key`.
    std::size_t CountOn(Op op, HKEY key) const
    {
        std::size_t count = 0;
        for (const Call& call : calls_)
            count += call.op == op && call.root == key ? 1 : 0;
        return count;
    }
    // Forgets the calls so far and starts the rule's count again.
    void ClearLog()
    {
        calls_.clear();
        seen_ = 0;
    }

    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result) override
    {
        LONG status = Pass<LONG>(Op::RegOpenKeyExA, root, Text(subKey),
                                 [&] { return inner_.RegOpenKeyExA(root, subKey, options, access, result); });
        if (calls_.back().failed)
            *result = nullptr;  // as Windows leaves it
        return status;
    }
    LONG RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD nameCapacity) override
    {
        // The key enumerated stands in the root's place, so that a test can tell one walk's calls.
        return Pass<LONG>(Op::RegEnumKeyA, key, std::to_string(index),
                          [&] { return inner_.RegEnumKeyA(key, index, name, nameCapacity); });
    }
    LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                          DWORD* dataSize) override
    {
        return Pass<LONG>(Op::RegQueryValueExA, nullptr, Text(valueName),
                          [&] { return inner_.RegQueryValueExA(key, valueName, reserved, type, data, dataSize); });
    }
    LONG RegCloseKey(HKEY key) override
    {
        return Pass<LONG>(Op::RegCloseKey, nullptr, {}, [&] { return inner_.RegCloseKey(key); });
    }
    LONG RegDeleteKeyA(HKEY root, const char* subKey) override
    {
        return Pass<LONG>(Op::RegDeleteKeyA, root, Text(subKey), [&] { return inner_.RegDeleteKeyA(root, subKey); });
    }
    int RemoveFile(const char* path) override
    {
        return Pass<int>(Op::RemoveFile, nullptr, Text(path), [&] { return inner_.RemoveFile(path); });
    }
    UINT GetWindowsDirectoryA(char* buffer, UINT size) override
    {
        return Pass<UINT>(Op::GetWindowsDirectoryA, nullptr, {},
                          [&] { return inner_.GetWindowsDirectoryA(buffer, size); });
    }
    UINT GetSystemDirectoryA(char* buffer, UINT size) override
    {
        return Pass<UINT>(Op::GetSystemDirectoryA, nullptr, {},
                          [&] { return inner_.GetSystemDirectoryA(buffer, size); });
    }
    LANGID GetUserDefaultLangID() override
    {
        return Pass<LANGID>(Op::GetUserDefaultLangID, nullptr, {}, [&] { return inner_.GetUserDefaultLangID(); });
    }
    int MessageBoxExA(HWND owner, const char* text, const char* caption, UINT type, WORD languageId) override
    {
        return Pass<int>(Op::MessageBoxExA, nullptr, Text(caption),
                         [&] { return inner_.MessageBoxExA(owner, text, caption, type, languageId); });
    }
    BOOL ExitWindowsEx(UINT flags, DWORD reserved) override
    {
        BOOL result = Pass<BOOL>(Op::ExitWindowsEx, nullptr, std::to_string(flags),
                                 [&] { return inner_.ExitWindowsEx(flags, reserved); });
        restartFailed_ = calls_.back().failed;
        return result;
    }
    DWORD GetLastError() override
    {
        return Pass<DWORD>(Op::GetLastError, nullptr, {},
                           [&] { return restartFailed_ ? kExitWindowsFailure : inner_.GetLastError(); });
    }

private:
    static std::string Text(const char* text) { return text != nullptr ? text : "(null)"; }

    // Counts the call against the rule. A failing call returns its failure without reaching the wrapped
    // provider; either way the call is logged.
    template <typename Result, typename Forward> Result Pass(Op op, HKEY root, std::string arg, Forward forward)
    {
        std::optional<std::int64_t> failure;
        if (!rule_.only || *rule_.only == op) {
            ++seen_;
            bool hit = rule_.first != 0 && seen_ >= rule_.first && seen_ - rule_.first < rule_.count;
            if (hit && UsualFailure(op))
                failure = rule_.result ? rule_.result : UsualFailure(op);
        }
        std::int64_t result = failure ? *failure : static_cast<std::int64_t>(forward());
        calls_.push_back(Call {op, root, std::move(arg), result, failure.has_value()});
        return static_cast<Result>(result);
    }

    SystemOps& inner_;
    FaultRule rule_;
    unsigned seen_ = 0;
    // A deque, not a vector: a walk on which every enumeration fails goes on to its index bound (some 16.7
    // million calls), and a 32-bit test program has no room for a vector of them to grow.
    std::deque<Call> calls_;
    bool restartFailed_ = false;  // the last restart request failed by the rule
};
