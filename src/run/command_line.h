// The argument text: the command-line tail after the program's own name.
#pragma once

// The platform's double-byte lead-byte test (IsDBCSLeadByte on Windows).
using LeadByteTest = bool (*)(unsigned char byte);

// Cuts the program name off a whole command line: a quoted name up to its closing quote (a lead byte inside
// the quotes takes the next byte with it), else every byte above the blank; then every byte from 0x01 to
// 0x20. Returns a pointer into `commandLine`; nothing is changed or split.
const char* ArgumentText(const char* commandLine, LeadByteTest isLeadByte);

enum class RunMode { Interactive, Silent, Restart };

RunMode ModeOf(const char* argumentText);
