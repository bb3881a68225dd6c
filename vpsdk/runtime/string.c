/* The memory and string functions the compiler and the runtime rely on. */
#include "hbvp.h"

void* memcpy(void* to, const void* from, size_t n) {
    uint8_t* d = (uint8_t*)to;
    const uint8_t* s = (const uint8_t*)from;
    __asm__ volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(n) : : "memory");
    return to;
}

void* memmove(void* to, const void* from, size_t n) {
    uint8_t* d = (uint8_t*)to;
    const uint8_t* s = (const uint8_t*)from;
    if (d <= s || d >= s + n) {
        return memcpy(to, from, n);
    }
    while (n-- > 0) {
        d[n] = s[n];
    }
    return to;
}

void* memset(void* to, int value, size_t n) {
    uint8_t* d = (uint8_t*)to;
    __asm__ volatile("rep stosb" : "+D"(d), "+c"(n) : "a"(value) : "memory");
    return to;
}

int memcmp(const void* a, const void* b, size_t n) {
    const uint8_t* x = (const uint8_t*)a;
    const uint8_t* y = (const uint8_t*)b;
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i]) {
            return x[i] < y[i] ? -1 : 1;
        }
    }
    return 0;
}

size_t strlen(const char* s) {
    size_t n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

int strcmp(const char* a, const char* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return (uint8_t)*a - (uint8_t)*b;
}

int strncmp(const char* a, const char* b, size_t n) {
    for (; n > 0; --n, ++a, ++b) {
        if (*a != *b || *a == 0) {
            return (uint8_t)*a - (uint8_t)*b;
        }
    }
    return 0;
}

char* strchr(const char* s, int c) {
    for (;; ++s) {
        if (*s == (char)c) {
            return (char*)s;
        }
        if (*s == 0) {
            return 0;
        }
    }
}
