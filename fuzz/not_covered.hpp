// Marks a fuzzer's own checking code (reference readings, walks over records)
// as not instrumented for coverage: its coverage guides nothing, and its
// comparisons would cost more than the code under test. Such a function is
// never inlined, as its code would then be instrumented as part of its caller.
#pragma once

#if defined(__clang__)
#define VEXAN_FUZZ_NOT_COVERED __attribute__((no_sanitize("coverage"), noinline))
#else
#define VEXAN_FUZZ_NOT_COVERED
#endif
