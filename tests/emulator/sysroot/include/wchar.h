#pragma once
#include <stddef.h>
typedef struct {
  char opaque[128];
} mbstate_t;
typedef int wint_t;
#define WEOF ((wint_t)-1)
#ifdef __cplusplus
extern "C" {
#endif
wchar_t* wcschr(const wchar_t*, wchar_t);
wchar_t* wcspbrk(const wchar_t*, const wchar_t*);
wchar_t* wcsrchr(const wchar_t*, wchar_t);
wchar_t* wcsstr(const wchar_t*, const wchar_t*);
wchar_t* wmemchr(const wchar_t*, wchar_t, size_t);
size_t wcslen(const wchar_t*);
int wmemcmp(const wchar_t*, const wchar_t*, size_t);
wchar_t* wmemcpy(wchar_t*, const wchar_t*, size_t);
wchar_t* wmemmove(wchar_t*, const wchar_t*, size_t);
wchar_t* wmemset(wchar_t*, wchar_t, size_t);
#ifdef __cplusplus
}
#endif
