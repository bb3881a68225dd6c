/* printf-like formatting into a buffer or onto a descriptor, 32-bit only. */
#include "internal.h"

typedef struct Sink {
    char* buffer;
    size_t size; /* buffer mode: capacity; descriptor mode: 0 */
    int fd;      /* descriptor mode: where full buffers go */
    char local[256];
    size_t used;
    int total;
    int failed;
} Sink;

static void flush(Sink* s) {
    if (s->fd >= 0 && s->used > 0) {
        if (hbvp_write(s->fd, s->local, (int)s->used) != (int)s->used) {
            s->failed = 1;
        }
        s->used = 0;
    }
}

static void put(Sink* s, char c) {
    ++s->total;
    if (s->fd >= 0) {
        if (s->used == sizeof s->local) {
            flush(s);
        }
        s->local[s->used++] = c;
    } else if (s->used + 1 < s->size) {
        s->buffer[s->used++] = c;
    }
}

static void put_padded(Sink* s, const char* text, size_t n, int width, int left, char pad) {
    int fill = width > (int)n ? width - (int)n : 0;
    if (!left) {
        /* A sign goes before zero padding. */
        if (pad == '0' && n > 0 && text[0] == '-') {
            put(s, '-');
            ++text;
            --n;
        }
        while (fill-- > 0) {
            put(s, pad);
        }
    }
    for (size_t i = 0; i < n; ++i) {
        put(s, text[i]);
    }
    if (left) {
        while (fill-- > 0) {
            put(s, ' ');
        }
    }
}

static void format(Sink* s, const char* f, va_list args) {
    while (*f != 0) {
        if (*f != '%') {
            put(s, *f++);
            continue;
        }
        ++f;
        int left = 0;
        char pad = ' ';
        for (;; ++f) {
            if (*f == '-') {
                left = 1;
            } else if (*f == '0') {
                pad = '0';
            } else {
                break;
            }
        }
        int width = 0;
        if (*f == '*') {
            width = va_arg(args, int);
            ++f;
        } else {
            while (*f >= '0' && *f <= '9') {
                width = width * 10 + (*f++ - '0');
            }
        }
        int precision = -1;
        if (*f == '.') {
            ++f;
            precision = 0;
            if (*f == '*') {
                precision = va_arg(args, int);
                ++f;
            } else {
                while (*f >= '0' && *f <= '9') {
                    precision = precision * 10 + (*f++ - '0');
                }
            }
        }
        while (*f == 'l' || *f == 'h' || *f == 'z') {
            ++f;
        }
        char digits[16];
        char* end = digits + sizeof digits;
        char* p = end;
        char c = *f ? *f++ : 0;
        switch (c) {
        case 'd':
        case 'i': {
            int v = va_arg(args, int);
            uint32_t u = v < 0 ? 0u - (uint32_t)v : (uint32_t)v;
            do {
                *--p = (char)('0' + u % 10);
                u /= 10;
            } while (u != 0);
            if (v < 0) {
                *--p = '-';
            }
            put_padded(s, p, (size_t)(end - p), width, left, pad);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'p': {
            uint32_t u =
                c == 'p' ? (uint32_t)(uintptr_t)va_arg(args, void*) : va_arg(args, uint32_t);
            uint32_t base = c == 'u' ? 10 : 16;
            const char* set = c == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
            if (c == 'p') {
                width = 8;
                pad = '0';
            }
            do {
                *--p = set[u % base];
                u /= base;
            } while (u != 0);
            put_padded(s, p, (size_t)(end - p), width, left, pad);
            break;
        }
        case 'c': {
            char ch = (char)va_arg(args, int);
            put_padded(s, &ch, 1, width, left, ' ');
            break;
        }
        case 's': {
            const char* text = va_arg(args, const char*);
            if (text == 0) {
                text = "(null)";
            }
            size_t n = 0;
            while (text[n] != 0 && (precision < 0 || n < (size_t)precision)) {
                ++n;
            }
            put_padded(s, text, n, width, left, ' ');
            break;
        }
        case '%':
            put(s, '%');
            break;
        default: /* an unknown conversion is shown as written */
            put(s, '%');
            if (c != 0) {
                put(s, c);
            }
            break;
        }
    }
}

int hbvp_vsnprintf(char* buffer, size_t size, const char* f, va_list args) {
    Sink s;
    s.buffer = buffer;
    s.size = buffer != 0 ? size : 0;
    s.fd = -1;
    s.used = 0;
    s.total = 0;
    s.failed = 0;
    format(&s, f, args);
    if (s.size > 0) {
        s.buffer[s.used] = 0;
    }
    return s.total;
}

int hbvp_snprintf(char* buffer, size_t size, const char* f, ...) {
    va_list args;
    va_start(args, f);
    int n = hbvp_vsnprintf(buffer, size, f, args);
    va_end(args);
    return n;
}

int hbvp_vfprintf(int fd, const char* f, va_list args) {
    Sink s;
    s.buffer = 0;
    s.size = 0;
    s.fd = fd;
    s.used = 0;
    s.total = 0;
    s.failed = 0;
    format(&s, f, args);
    flush(&s);
    return s.failed ? -1 : s.total;
}

int hbvp_fprintf(int fd, const char* f, ...) {
    va_list args;
    va_start(args, f);
    int n = hbvp_vfprintf(fd, f, args);
    va_end(args);
    return n;
}

int hbvp_printf(const char* f, ...) {
    va_list args;
    va_start(args, f);
    int n = hbvp_vfprintf(1, f, args);
    va_end(args);
    return n;
}

int hbvp_eprintf(const char* f, ...) {
    va_list args;
    va_start(args, f);
    int n = hbvp_vfprintf(2, f, args);
    va_end(args);
    return n;
}

int hbvp_puts(const char* text) {
    return hbvp_printf("%s\n", text);
}
