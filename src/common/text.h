// Bounded text helpers for the fixed buffers of the run. A text that does not fit is reported, never cut
// and never written past the buffer: the caller decides what a path that does not fit means. They are plain
// loops rather than C library calls, so the Windows program needs no C run-time DLL.
#pragma once

#include <cstddef>

// Length of `text`, but at most `capacity`: a buffer without terminator reads as `capacity` long.
std::size_t BoundedLength(const char* text, std::size_t capacity);

// Copies `source` whole into `buffer`. False, with `buffer` left empty, when it does not fit.
bool CopyText(char* buffer, std::size_t capacity, const char* source);

// Appends `source` whole. False, with `buffer` unchanged, when the result would not fit.
bool AppendText(char* buffer, std::size_t capacity, const char* source);

// Copies the first text, then appends the others in order. False, with `buffer` left empty, when the whole
// does not fit.
template <std::size_t N, class... Rest> bool JoinText(char (&buffer)[N], const char* first, const Rest*... rest)
{
    if (!CopyText(buffer, N, first))
        return false;
    const char* parts[] = {rest..., nullptr};
    for (const char* part : parts) {
        if (part != nullptr && !AppendText(buffer, N, part)) {
            buffer[0] = '\0';
            return false;
        }
    }
    return true;
}

template <std::size_t N> bool CopyText(char (&buffer)[N], const char* source)
{
    return CopyText(buffer, N, source);
}

template <std::size_t N> bool AppendText(char (&buffer)[N], const char* source)
{
    return AppendText(buffer, N, source);
}

// True when `text` holds `what` as a byte-wise, case-sensitive substring.
bool ContainsText(const char* text, const char* what);

// Whole-text, byte-wise, case-sensitive equality.
bool SameText(const char* a, const char* b);

// Whole-text equality with ASCII letters compared without regard to case, as the registry compares the
// names of keys such as a device folder or a driver key name.
bool SameTextAnyCase(const char* a, const char* b);

// True when `text` holds any of `characters`.
bool ContainsAnyOf(const char* text, const char* characters);

// True when the first `size` bytes of `data` hold a terminator, so that they read as one text.
bool HoldsTerminator(const char* data, std::size_t size);

// True when a value read of `dataSize` bytes into a field of `capacity` bytes gave one text: its terminator
// lies within the bytes read.
bool ReadAsText(const char* data, std::size_t dataSize, std::size_t capacity);
