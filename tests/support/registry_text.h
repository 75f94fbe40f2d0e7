// Helpers for tests that build their registry from REGEDIT4 text.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "registry/regedit4.h"
#include "support/fake_system.h"

// Loads `body` (key and value lines, without the REGEDIT4 header) into the double's registry.
inline ::testing::AssertionResult LoadKeys(FakeSystem& sys, std::string_view body)
{
    std::string text = "REGEDIT4\n\n";
    text += body;
    emulated::LoadResult loaded = emulated::LoadRegedit4(std::move(text), sys.registry);
    if (loaded.ok)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "REGEDIT4 line " << loaded.line << ": " << loaded.message;
}

// A key line for `path` below HKEY_LOCAL_MACHINE.
inline std::string MachineKey(std::string_view path)
{
    return "\n[HKEY_LOCAL_MACHINE\\" + std::string(path) + "]\n";
}

// A string value line; backslashes and quotes in `data` are escaped as REGEDIT4 writes them.
inline std::string StringValue(std::string_view name, std::string_view data)
{
    std::string line = "\"" + std::string(name) + "\"=\"";
    for (char c : data) {
        if (c == '\\' || c == '"')
            line += '\\';
        line += c;
    }
    return line + "\"\n";
}
