// Built into the sanitized test builds only: the tests run the program with a
// cleaned environment, where ASAN_OPTIONS and TSAN_OPTIONS would not reach it.

extern "C" {

const char* __asan_default_options() { return "abort_on_error=0:detect_stack_use_after_return=1"; }

// Fontconfig keeps its caches until FcFini, which GTK never calls.
const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
// The tests read standard error: no list of the suppressions used.
const char* __lsan_default_options() { return "print_suppressions=0"; }

const char* __tsan_default_options() { return "halt_on_error=0:second_deadlock_stack=1"; }

// Fontconfig, uninstrumented, publishes results to Pango's threads through
// atomics the sanitizer cannot see; Mesa's software renderer (only with
// GDK_GL) frees its worker threads' locks while they may still touch them.
const char* __tsan_default_suppressions() { return "race:libfontconfig.so\nrace:swrast_dri.so\n"; }

}  // extern "C"
