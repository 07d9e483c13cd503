// PathList.cpp - paths handed to the window from outside.
#include "shell/PathList.h"

#include <cstring>

static int EndsArgument(wchar_t c)
{
    return c == L'\0' || c == L' ' || c == L'\t';
}

size_t MendRootQuotes(const wchar_t* line, wchar_t* out)
{
    size_t at = 0, to = 0;
    // The program's name: up to the next quote when it begins with one,
    // else up to white space; backslashes are plain there.
    if (line[0] == L'"') {
        out[to++] = line[at++];
        while (line[at] != L'\0' && line[at] != L'"') {
            out[to++] = line[at++];
        }
    }
    while (!EndsArgument(line[at])) {
        out[to++] = line[at++];
    }
    // The arguments: 2n backslashes and a quote are n backslashes and a
    // quote that opens or closes; 2n + 1 of them and a quote are n and a
    // literal quote. Quotes in a name are not allowed, so a literal one
    // at an argument's end can only be an Explorer-style "D:\".
    int quoted = 0;
    while (line[at] != L'\0') {
        size_t run = 0;
        while (line[at + run] == L'\\') {
            run++;
        }
        if (run > 0) {
            for (size_t i = 0; i < run; i++) {
                out[to++] = L'\\';
            }
            at += run;
            if (line[at] != L'"') {
                continue;
            }
            if (run % 2 == 1) {
                if (quoted && EndsArgument(line[at + 1])) {
                    out[to++] = L'\\';  // now even: the quote closes the argument
                    quoted = 0;
                }
                out[to++] = line[at++];
                continue;
            }
        }
        quoted ^= line[at] == L'"';
        out[to++] = line[at++];
    }
    out[to] = L'\0';
    return to;
}

size_t PathListUnits(const void* data, size_t bytes)
{
    if (data == nullptr || bytes % 2 != 0 || bytes > PATH_LIST_MAX_BYTES) {
        return 0;
    }
    const unsigned char* at = (const unsigned char*)data;
    size_t units = bytes / 2;
    size_t length = 0;  // of the path being read
    for (size_t i = 0; i < units; i++) {
        uint16_t unit;
        memcpy(&unit, at + 2 * i, sizeof(unit));
        if (unit != 0) {
            length++;
        } else if (length > 0) {
            length = 0;  // a path ends
        } else {
            // A NUL where a path would begin: the final one, if the block
            // ends there and a path came before; else an empty path.
            return i == units - 1 && i > 0 ? units : 0;
        }
    }
    return 0;  // not ended
}
