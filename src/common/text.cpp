#include "common/text.h"

#include <cstring>

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
    std::memcpy(buffer + used, source, length);
    buffer[used + length] = '\0';
    return true;
}

bool ContainsText(const char* text, const char* what)
{
    return std::strstr(text, what) != nullptr;
}

bool SameText(const char* a, const char* b)
{
    return std::strcmp(a, b) == 0;
}
