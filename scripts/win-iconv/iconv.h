/* A small iconv for the Windows build of the .xls reader's library: converts
   from the code pages a workbook names (and UTF-16LE) to UTF-8, through the
   conversions Windows itself provides. Only "UTF-8" is supported as target. */
#ifndef KORVESSA_WIN_ICONV_H
#define KORVESSA_WIN_ICONV_H
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
typedef void* iconv_t;
iconv_t iconv_open(const char* tocode, const char* fromcode);
size_t iconv(iconv_t cd, char** inbuf, size_t* inbytesleft, char** outbuf, size_t* outbytesleft);
int iconv_close(iconv_t cd);
#ifdef __cplusplus
}
#endif
#endif
