/* CHECK for the C test programs: reports the failed condition and ends main with status 1. */
#ifndef PELKU_VMQ_C_CHECK_H
#define PELKU_VMQ_C_CHECK_H

#include <stdio.h>

#define CHECK(condition)                                                                   \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            return 1;                                                                      \
        }                                                                                  \
    } while (0)

#endif
