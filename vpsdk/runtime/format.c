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

/* The arguments, passed on by pointer so that every step takes the next. */
typedef struct Args {
    va_list list;
} Args;

/* One conversion's flags, field width and precision (-1: none). */
typedef struct Conversion {
    int left;
    char pad;
    int width;
    int precision;
} Conversion;

static const char* read_number(const char* f, int* value) {
    while (*f >= '0' && *f <= '9') {
        *value = *value * 10 + (*f++ - '0');
    }
    return f;
}

/* Reads flags, width, precision and length modifiers after the '%'; returns
   where the conversion character is. */
static const char* read_conversion(const char* f, Conversion* conv, Args* a) {
    conv->left = 0;
    conv->pad = ' ';
    conv->width = 0;
    conv->precision = -1;
    for (;; ++f) {
        if (*f == '-') {
            conv->left = 1;
        } else if (*f == '0') {
            conv->pad = '0';
        } else {
            break;
        }
    }
    if (*f == '*') {
        conv->width = va_arg(a->list, int);
        ++f;
    } else {
        f = read_number(f, &conv->width);
    }
    if (*f == '.') {
        ++f;
        conv->precision = 0;
        if (*f == '*') {
            conv->precision = va_arg(a->list, int);
            ++f;
        } else {
            f = read_number(f, &conv->precision);
        }
    }
    while (*f == 'l' || *f == 'h' || *f == 'z') {
        ++f;
    }
    return f;
}

static void put_signed(Sink* s, int v, const Conversion* conv) {
    char digits[16];
    char* end = digits + sizeof digits;
    char* p = end;
    uint32_t u = v < 0 ? 0u - (uint32_t)v : (uint32_t)v;
    do {
        *--p = (char)('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (v < 0) {
        *--p = '-';
    }
    put_padded(s, p, (size_t)(end - p), conv->width, conv->left, conv->pad);
}

/* %u, %x, %X and %p (eight hexadecimal digits). */
static void put_unsigned(Sink* s, char c, Conversion conv, Args* a) {
    char digits[16];
    char* end = digits + sizeof digits;
    char* p = end;
    uint32_t u = c == 'p' ? (uint32_t)(uintptr_t)va_arg(a->list, void*) : va_arg(a->list, uint32_t);
    uint32_t base = c == 'u' ? 10 : 16;
    const char* set = c == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    if (c == 'p') {
        conv.width = 8;
        conv.pad = '0';
    }
    do {
        *--p = set[u % base];
        u /= base;
    } while (u != 0);
    put_padded(s, p, (size_t)(end - p), conv.width, conv.left, conv.pad);
}

static void put_string(Sink* s, const char* text, const Conversion* conv) {
    if (text == 0) {
        text = "(null)";
    }
    size_t n = 0;
    while (text[n] != 0 && (conv->precision < 0 || n < (size_t)conv->precision)) {
        ++n;
    }
    put_padded(s, text, n, conv->width, conv->left, ' ');
}

static void convert(Sink* s, char c, const Conversion* conv, Args* a) {
    switch (c) {
    case 'd':
    case 'i':
        put_signed(s, va_arg(a->list, int), conv);
        break;
    case 'u':
    case 'x':
    case 'X':
    case 'p':
        put_unsigned(s, c, *conv, a);
        break;
    case 'c': {
        char ch = (char)va_arg(a->list, int);
        put_padded(s, &ch, 1, conv->width, conv->left, ' ');
        break;
    }
    case 's':
        put_string(s, va_arg(a->list, const char*), conv);
        break;
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

static void format(Sink* s, const char* f, va_list args) {
    Args a;
    va_copy(a.list, args);
    while (*f != 0) {
        if (*f != '%') {
            put(s, *f++);
            continue;
        }
        Conversion conv;
        f = read_conversion(f + 1, &conv, &a);
        char c = *f ? *f++ : 0;
        convert(s, c, &conv, &a);
    }
    va_end(a.list);
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
