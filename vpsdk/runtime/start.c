/* The image's entry point. The host's context has set the stack, the flat
 * segments and FS on the start-up block; the runtime finds the block, splits
 * the command line into words and runs main. */
#include "internal.h"

#define MAX_ARGS 64

static char g_command_line[HBVP_COMMAND_LINE_SIZE];
static char* g_argv[MAX_ARGS + 1];

/* Words separated by blanks; double quotes group blanks into a word. */
static int split(char* line, char** argv, int max) {
    int argc = 0;
    char* in = line;
    while (*in != 0) {
        while (*in == ' ' || *in == '\t') {
            ++in;
        }
        if (*in == 0 || argc == max) {
            break;
        }
        char* out = in;
        argv[argc++] = out;
        int quoted = 0;
        while (*in != 0 && (quoted || (*in != ' ' && *in != '\t'))) {
            if (*in == '"') {
                quoted = !quoted;
                ++in;
                continue;
            }
            *out++ = *in++;
        }
        if (*in != 0) {
            ++in;
        }
        *out = 0;
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
