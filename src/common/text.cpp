#include "common/text.h"

std::size_t BoundedLength(const char* text, std::size_t capacity)
{
    std::size_t length = 0;
    while (length < capacity && text[length] != '\0')
        ++length;
    return length;
}

bool CopyText(char* buffer, std::size_t capacity, const char* source)
{
    if (capacity == 0)
        return false;
    buffer[0] = '\0';
    return AppendText(buffer, capacity, source);
}

bool AppendText(char* buffer, std::size_t capacity, const char* source)
{
    std::size_t used = BoundedLength(buffer, capacity);
    if (used == capacity)
        return false;
    std::size_t room = capacity - used - 1;
    std::size_t length = BoundedLength(source, room + 1);
    if (length > room)
        return false;
    for (std::size_t i = 0; i < length; ++i)
        buffer[used + i] = source[i];
    buffer[used + length] = '\0';
    return true;
}

bool ContainsText(const char* text, const char* what)
{
    for (;; ++text) {
        std::size_t i = 0;
        while (what[i] != '\0' && text[i] == what[i])
            ++i;
        if (what[i] == '\0')
            return true;
        if (*text == '\0')
            return false;
    }
}

bool SameText(const char* a, const char* b)
{
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

namespace {

char FoldAscii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

bool SameTextAnyCase(const char* a, const char* b)
{
    while (*a != '\0' && FoldAscii(*a) == FoldAscii(*b)) {
        ++a;
        ++b;
    }
    return FoldAscii(*a) == FoldAscii(*b);
}

bool ContainsAnyOf(const char* text, const char* characters)
{
    for (; *text != '\0'; ++text) {
        for (const char* c = characters; *c != '\0'; ++c) {
            if (*text == *c)
                return true;
        }
    }
    return false;
}

bool HoldsTerminator(const char* data, std::size_t size)
{
    return BoundedLength(data, size) < size;
}

bool ReadAsText(const char* data, std::size_t dataSize, std::size_t capacity)
{
    return HoldsTerminator(data, dataSize < capacity ? dataSize : capacity);
}
