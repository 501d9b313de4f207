/*
 * Prints the texts of qmd5820_texts.h, compiled as C, for tests/python/texts_agree_test.py,
 * which compares them with the Python package's generated tables: every status from -1 to
 * 40, every (phase, code) pair of phases -1 to 30 and codes -1 to 60, then one line per
 * line of input:
 *   "n V"            -> "n V: <number text>"
 *   "t R S F V Z"    -> "t R S F V Z: <field number> <transducer data problem or empty>"
 *   "p P R"          -> "p P R: <result> <position problem or empty>"
 * with the inputs as strtod reads them (hexadecimal, "nan", "inf") echoed as given.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qmd5820_texts.h"

static int read_numbers(const char* text, double* out, int count) {
    char* end = NULL;
    int i;
    for (i = 0; i < count; ++i) {
        out[i] = strtod(text, &end);
        if (end == text) return 0;
        text = end;
    }
    return 1;
}

int main(void) {
    char line[512];
    char text[256];
    double v[5];
    int32_t phase;
    int32_t code;
    for (phase = -1; phase <= 40; ++phase) {
        printf("status %d: %s\n", (int)phase, qmd5820_worker_status_text(phase));
    }
    for (phase = -1; phase <= 30; ++phase) {
        for (code = -1; code <= 60; ++code) {
            printf("failure %d %d: %s\n", (int)phase, (int)code, qmd5820_worker_failure_text(phase, code));
        }
    }
    while (fgets(line, sizeof line, stdin) != NULL) {
        line[strcspn(line, "\n")] = '\0';
        if (line[0] == 'n' && read_numbers(line + 1, v, 1)) {
            qmd5820_number_text(v[0], text);
            printf("%s: %s\n", line, text);
        } else if (line[0] == 't' && read_numbers(line + 1, v, 5)) {
            const int field = qmd5820_transducer_data_problem(v[0], v[1], v[2], v[3], v[4], text, sizeof text);
            printf("%s: %d %s\n", line, field, text);
        } else if (line[0] == 'p' && read_numbers(line + 1, v, 2)) {
            const int result = qmd5820_worker_position_problem(v[0], v[1], text, sizeof text);
            printf("%s: %d %s\n", line, result, text);
        } else {
            fprintf(stderr, "texts_dump: cannot read '%s'\n", line);
            return 2;
        }
    }
    return 0;
}
