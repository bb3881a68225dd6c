/* The image's entry point. The host's context has set the stack, the flat
 * segments and FS on the start-up block; the runtime finds the block, splits
 * the command line into words and runs main. */
#include "internal.h"

/* A 255-byte line holds at most 128 words. */
#define MAX_ARGS 128

static char g_command_line[HB_FILEIO_COMMAND_LINE_SIZE];
static char* g_argv[MAX_ARGS + 1];

static int is_blank(char c) {
    return c == ' ' || c == '\t';
}

/* The program name: up to the first blank or tab outside quotes; quotes
 * group and are dropped, backslashes stand for themselves. */
static char* split_program_name(char* in, char** out) {
    int quoted = 0;
    while (*in != 0 && (quoted || !is_blank(*in))) {
        if (*in == '"') {
            quoted = !quoted;
            ++in;
            continue;
        }
        *(*out)++ = *in++;
    }
    return in;
}

/* One further word: 2n backslashes and a quote give n backslashes and the
 * quote opens or closes a quoted stretch; 2n+1 backslashes and a quote give
 * n backslashes and a quote; "" inside quotes gives a quote; backslashes
 * elsewhere stand for themselves. */
static char* split_word(char* in, char** out) {
    int quoted = 0;
    for (;;) {
        unsigned backslashes = 0;
        while (*in == '\\') {
            ++in;
            ++backslashes;
        }
        if (*in == '"') {
            for (unsigned i = 0; i < backslashes / 2; ++i) {
                *(*out)++ = '\\';
            }
            if (backslashes % 2 != 0) {
                *(*out)++ = '"';
            } else if (quoted && in[1] == '"') {
                *(*out)++ = '"';
                ++in;
            } else {
                quoted = !quoted;
            }
            ++in;
            continue;
        }
        for (unsigned i = 0; i < backslashes; ++i) {
            *(*out)++ = '\\';
        }
        if (*in == 0 || (!quoted && is_blank(*in))) {
            return in;
        }
        *(*out)++ = *in++;
    }
}

/* Splits the command line into words in place, as the Microsoft C runtime
 * does; the words never grow, so writing never overtakes reading. */
static int split(char* line, char** argv, int max) {
    int argc = 0;
    char* in = line;
    char* out = line;
    while (*in != 0 && argc < max) {
        argv[argc] = out;
        in = argc == 0 ? split_program_name(in, &out) : split_word(in, &out);
        ++argc;
        if (*in != 0) {
            ++in; /* the blank that ended the word, before the NUL may cover it */
        }
        *out++ = 0;
        while (is_blank(*in)) {
            ++in;
        }
    }
    argv[argc] = 0;
    return argc;
}

void hbvp_start(void) {
    hbvp__init_block();
    int argc = 0;
    if (hbvp_command_line(g_command_line, sizeof g_command_line) >= 0) {
        argc = split(g_command_line, g_argv, MAX_ARGS);
    }
    hbvp_exit(main(argc, g_argv));
}
