#pragma once
#include <stddef.h>
typedef struct {
  long quot, rem;
} ldiv_t;
typedef struct {
  long long quot, rem;
} lldiv_t;
#ifdef __cplusplus
extern "C" {
#endif
ldiv_t ldiv(long, long);
lldiv_t lldiv(long long, long long);
long labs(long);
long long llabs(long long);
void* malloc(size_t);
void free(void*);
void abort(void) __attribute__((noreturn));
void* aligned_alloc(size_t, size_t);
#ifdef __cplusplus
}
#endif
