#pragma once
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
void* memcpy(void*, const void*, size_t);
void* memmove(void*, const void*, size_t);
void* memset(void*, int, size_t);
int memcmp(const void*, const void*, size_t);
void* memchr(const void*, int, size_t);
size_t strlen(const char*);
char* strchr(const char*, int);
int strcmp(const char*, const char*);
char* strncpy(char*, const char*, size_t);
#ifdef __cplusplus
}
#endif
