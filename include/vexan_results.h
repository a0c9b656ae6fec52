/* Names of the library's result codes, for tools and tests. */
#ifndef VEXAN_RESULTS_H
#define VEXAN_RESULTS_H

#include "vexan.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The symbolic name of a result code ("VEXAN_TIMEOUT"), or NULL for a value that
 * is not one of the library's codes (a module status passed through). */
static inline const char* vexan_result_name(unsigned code)
{
    switch (code) {
#define VEXAN_RESULT_NAME_CASE(name, value, text) \
    case value:                                   \
        return #name;
        VEXAN_RESULT_TABLE(VEXAN_RESULT_NAME_CASE)
#undef VEXAN_RESULT_NAME_CASE
    default:
        return 0;
    }
}

/* A one-line description of a result code, or NULL as above. */
static inline const char* vexan_result_text(unsigned code)
{
    switch (code) {
#define VEXAN_RESULT_TEXT_CASE(name, value, text) \
    case value:                                   \
        return text;
        VEXAN_RESULT_TABLE(VEXAN_RESULT_TEXT_CASE)
#undef VEXAN_RESULT_TEXT_CASE
    default:
        return 0;
    }
}

#ifdef __cplusplus
}
#endif

#endif /* VEXAN_RESULTS_H */
