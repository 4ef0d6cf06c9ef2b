#include "iconv.h"
#include "localcharset.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

enum { Utf16le = -1 };

typedef struct { int codepage; } converter;

static int codepage_of(const char* name)
{
    if (_stricmp(name, "UTF-16LE") == 0) return Utf16le;
    if (_stricmp(name, "UTF-8") == 0) return CP_UTF8;
    if (_stricmp(name, "ASCII") == 0) return 20127;
    if (_stricmp(name, "MacRoman") == 0) return 10000;
    if (_strnicmp(name, "CP", 2) == 0) {
        char* end = NULL;
        long cp = strtol(name + 2, &end, 10);
        if (end && *end == '\0' && cp > 0 && cp < 65536 && IsValidCodePage((UINT)cp)) return (int)cp;
    }
    return 0;
}

iconv_t iconv_open(const char* tocode, const char* fromcode)
{
    int from = codepage_of(fromcode);
    if (codepage_of(tocode) != CP_UTF8 || from == 0) {
        errno = EINVAL;
        return (iconv_t)-1;
    }
    converter* c = (converter*)malloc(sizeof *c);
    if (!c) {
        errno = ENOMEM;
        return (iconv_t)-1;
    }
    c->codepage = from;
    return c;
}

int iconv_close(iconv_t cd)
{
    free(cd);
    return 0;
}

/* Converts the whole input at once: the callers hand over complete strings. */
size_t iconv(iconv_t cd, char** inbuf, size_t* inbytesleft, char** outbuf, size_t* outbytesleft)
{
    const converter* c = (const converter*)cd;
    if (!inbuf || !*inbuf || *inbytesleft == 0) return 0;
    if (*inbytesleft > 0x3fffffff) {
        errno = E2BIG;
        return (size_t)-1;
    }
    int units;
    wchar_t* wide;
    if (c->codepage == Utf16le) {
        if (*inbytesleft % 2) {
            errno = EINVAL;
            return (size_t)-1;
        }
        units = (int)(*inbytesleft / 2);
        wide = (wchar_t*)malloc(sizeof(wchar_t) * (size_t)units);
        if (!wide) {
            errno = ENOMEM;
            return (size_t)-1;
        }
        memcpy(wide, *inbuf, *inbytesleft);
    } else {
        DWORD flags = c->codepage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        units = MultiByteToWideChar((UINT)c->codepage, flags, *inbuf, (int)*inbytesleft, NULL, 0);
        if (units <= 0) {
            errno = EILSEQ;
            return (size_t)-1;
        }
        wide = (wchar_t*)malloc(sizeof(wchar_t) * (size_t)units);
        if (!wide) {
            errno = ENOMEM;
            return (size_t)-1;
        }
        MultiByteToWideChar((UINT)c->codepage, flags, *inbuf, (int)*inbytesleft, wide, units);
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, units, NULL, 0, NULL, NULL);
    if (bytes <= 0 || (size_t)bytes > *outbytesleft) {
        free(wide);
        errno = bytes <= 0 ? EILSEQ : E2BIG;
        return (size_t)-1;
    }
    WideCharToMultiByte(CP_UTF8, 0, wide, units, *outbuf, bytes, NULL, NULL);
    free(wide);
    *inbuf += *inbytesleft;
    *inbytesleft = 0;
    *outbuf += bytes;
    *outbytesleft -= (size_t)bytes;
    return 0;
}

const char* locale_charset(void)
{
    static char name[16];
    snprintf(name, sizeof name, "CP%u", GetACP());
    return name;
}
