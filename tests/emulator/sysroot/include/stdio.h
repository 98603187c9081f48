#pragma once
#include <stdarg.h>
#include <stddef.h>
#define EOF (-1)
typedef struct __sFILE FILE;
#ifdef __cplusplus
extern "C" {
#endif
int snprintf(char*, size_t, const char*, ...);
int vsnprintf(char*, size_t, const char*, va_list);
#ifdef __cplusplus
}
#endif
#ifdef __cplusplus
extern "C" {
#endif
int remove(const char*);
#ifdef __cplusplus
}
#endif
