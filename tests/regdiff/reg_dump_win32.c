/* Prints the RegDiff test trees of the running Windows registry in the canonical form that
 * reg_dump_host.cpp prints for a REGEDIT4 file:
 *   V <root> "RegDiff" <type> <hex bytes>      the value "RegDiff" on the root itself, when there is one
 *   K <root>\Software\<RegDiff>\...            every key of the tree
 *   V <root>\Software\<RegDiff>\... "<name>" <type> <hex bytes>     (@ for the default value)
 * Subkeys and values are sorted by name, ASCII case folded, so that the order the registry happens to keep
 * does not matter. Bytes outside printable ASCII, '"' and '\' in names are written as \xNN.
 * With the argument "acp" it prints the ANSI code page instead. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define NAME_CAPACITY 32768
#define DATA_CAPACITY (1 << 20)

typedef struct {
    char* name;
    DWORD nameLength;
    DWORD type;
    unsigned char* data;
    DWORD dataLength;
} Entry;

static unsigned char Fold(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? (unsigned char)(c + 32) : c;
}

/* Folded comparison; names equal when folded are ordered by their bytes. */
static int CompareFolded(const char* a, DWORD aLength, const char* b, DWORD bLength)
{
    DWORD n = aLength < bLength ? aLength : bLength;
    DWORD i;
    for (i = 0; i < n; ++i) {
        unsigned char x = Fold((unsigned char)a[i]), y = Fold((unsigned char)b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return aLength == bLength ? 0 : aLength < bLength ? -1 : 1;
}

static int CompareNames(const char* a, DWORD aLength, const char* b, DWORD bLength)
{
    int folded = CompareFolded(a, aLength, b, bLength);
    return folded != 0 ? folded : memcmp(a, b, aLength);
}

static int CompareEntries(const void* a, const void* b)
{
    const Entry *x = (const Entry*)a, *y = (const Entry*)b;
    return CompareNames(x->name, x->nameLength, y->name, y->nameLength);
}

/* Writes a name with its unprintable bytes, '"' and '\' as \xNN; returns the end (4 bytes a byte at most). */
static char* EscapeName(char* out, const char* name, DWORD length)
{
    DWORD i;
    for (i = 0; i < length; ++i) {
        unsigned char c = (unsigned char)name[i];
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
            out += sprintf(out, "\\x%02x", c);
        else
            *out++ = (char)c;
    }
    *out = '\0';
    return out;
}

static void PrintName(const char* name, DWORD length)
{
    char* text = (char*)malloc(4 * (size_t)length + 1);
    if (!text)
        exit(3);
    EscapeName(text, name, length);
    fputs(text, stdout);
    free(text);
}

static void PrintValue(const char* path, const Entry* value)
{
    DWORD i;
    printf("V %s ", path);
    if (value->nameLength == 0) {
        putchar('@');
    } else {
        putchar('"');
        PrintName(value->name, value->nameLength);
        putchar('"');
    }
    printf(" %lu", (unsigned long)value->type);
    for (i = 0; i < value->dataLength; ++i)
        printf("%c%02x", i == 0 ? ' ' : ',', value->data[i]);
    putchar('\n');
}

static char* Copy(const void* bytes, DWORD length)
{
    char* copy = (char*)malloc(length + 1);
    if (!copy)
        exit(3);
    memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
}

/* The array with room for entry `count`, which gets the name. */
static Entry* Added(Entry* entries, DWORD count, DWORD* capacity, const char* name, DWORD nameLength)
{
    if (count == *capacity) {
        *capacity = *capacity ? 2 * *capacity : 16;
        entries = (Entry*)realloc(entries, *capacity * sizeof *entries);
        if (!entries)
            exit(3);
    }
    entries[count].name = Copy(name, nameLength);
    entries[count].nameLength = nameLength;
    return entries;
}

static void DumpKey(HKEY key, const char* path)
{
    static char name[NAME_CAPACITY];
    static unsigned char data[DATA_CAPACITY];
    Entry* entries = NULL;
    DWORD count = 0, capacity = 0, index, i;

    printf("K %s\n", path);

    for (index = 0;; ++index) {
        DWORD nameLength = sizeof name, dataLength = sizeof data, type = 0;
        LONG status = RegEnumValueA(key, index, name, &nameLength, NULL, &type, data, &dataLength);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS) {
            printf("ERROR RegEnumValueA %ld in %s\n", status, path);
            break;
        }
        entries = Added(entries, count, &capacity, name, nameLength);
        entries[count].type = type;
        entries[count].data = (unsigned char*)Copy(data, dataLength);
        entries[count].dataLength = dataLength;
        ++count;
    }
    qsort(entries, count, sizeof *entries, CompareEntries);
    for (i = 0; i < count; ++i) {
        PrintValue(path, &entries[i]);
        free(entries[i].name);
        free(entries[i].data);
    }

    count = 0;
    for (index = 0;; ++index) {
        DWORD nameLength = sizeof name;
        LONG status = RegEnumKeyExA(key, index, name, &nameLength, NULL, NULL, NULL, NULL);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS) {
            printf("ERROR RegEnumKeyExA %ld in %s\n", status, path);
            break;
        }
        entries = Added(entries, count, &capacity, name, nameLength);
        ++count;
    }
    qsort(entries, count, sizeof *entries, CompareEntries);
    for (i = 0; i < count; ++i) {
        size_t length = strlen(path);
        char* child = (char*)malloc(length + 2 + 4 * entries[i].nameLength + 1);
        HKEY sub;
        LONG status;
        if (!child)
            exit(3);
        memcpy(child, path, length);
        child[length] = '\\';
        EscapeName(child + length + 1, entries[i].name, entries[i].nameLength);
        status = RegOpenKeyExA(key, entries[i].name, 0, KEY_READ, &sub);
        if (status == ERROR_SUCCESS) {
            DumpKey(sub, child);
            RegCloseKey(sub);
        } else {
            printf("ERROR RegOpenKeyExA %ld for %s\n", status, child);
        }
        free(child);
        free(entries[i].name);
    }
    free(entries);
}

static void DumpRoot(HKEY root, const char* rootName)
{
    static unsigned char data[DATA_CAPACITY];
    char name[256];
    char path[64 + 4 * sizeof name];
    DWORD index, type = 0, dataLength = sizeof data;
    HKEY software;

    if (RegQueryValueExA(root, "RegDiff", NULL, &type, data, &dataLength) == ERROR_SUCCESS) {
        Entry value;
        value.name = (char*)"RegDiff";
        value.nameLength = 7;
        value.type = type;
        value.data = data;
        value.dataLength = dataLength;
        PrintValue(rootName, &value);
    }
    if (RegOpenKeyExA(root, "Software", 0, KEY_READ, &software) != ERROR_SUCCESS)
        return;
    for (index = 0;; ++index) {
        DWORD nameLength = sizeof name;
        HKEY tree;
        if (RegEnumKeyExA(software, index, name, &nameLength, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        if (CompareFolded(name, nameLength, "regdiff", 7) != 0)
            continue;
        if (RegOpenKeyExA(software, name, 0, KEY_READ, &tree) == ERROR_SUCCESS) {
            EscapeName(path + sprintf(path, "%s\\Software\\", rootName), name, nameLength);
            DumpKey(tree, path);
            RegCloseKey(tree);
        }
        break;
    }
    RegCloseKey(software);
}

int main(int argc, char** argv)
{
    if (argc > 1 && strcmp(argv[1], "acp") == 0) {
        printf("%u\n", GetACP());
        return 0;
    }
    DumpRoot(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE");
    DumpRoot(HKEY_CURRENT_USER, "HKEY_CURRENT_USER");
    return 0;
}
