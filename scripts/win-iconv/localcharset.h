#ifndef KORVESSA_WIN_LOCALCHARSET_H
#define KORVESSA_WIN_LOCALCHARSET_H
#ifdef __cplusplus
extern "C" {
#endif
const char* locale_charset(void);
#ifdef __cplusplus
}
#endif
#endif
