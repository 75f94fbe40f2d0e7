#include "run/command_line.h"

#include "common/text.h"

const char* ArgumentText(const char* commandLine, LeadByteTest isLeadByte)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(commandLine);
    if (*p == '"') {
        // A quoted program name runs to the next quote; a lead byte takes its trail byte with it, so that
        // byte is never taken for the closing quote.
        ++p;
        while (*p != '\0' && *p != '"') {
            if (isLeadByte != nullptr && isLeadByte(*p) && p[1] != '\0')
                ++p;
            ++p;
        }
        if (*p == '"')
            ++p;
    } else {
        while (*p > ' ')
            ++p;
    }
    while (*p != '\0' && *p <= ' ')
        ++p;
    return reinterpret_cast<const char*>(p);
}

RunMode ModeOf(const char* argumentText)
{
    if (argumentText[0] == '\0')
        return RunMode::Interactive;
    if (SameText(argumentText, "reboot"))
        return RunMode::Restart;
    return RunMode::Silent;
}
