// Built into the sanitized test builds only. The defaults live in the program
// itself because the tests run it with a cleaned environment, where
// ASAN_OPTIONS and TSAN_OPTIONS would not reach it.

extern "C" {

const char* __asan_default_options() { return "abort_on_error=0:detect_stack_use_after_return=1"; }

// Fontconfig, which GTK asks for fonts, keeps its pattern caches for the
// process's life and frees them only on FcFini, which GTK never calls. Only
// allocations made inside that library are named.
const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
// The tests read standard error: no list of the suppressions used.
const char* __lsan_default_options() { return "print_suppressions=0"; }

const char* __tsan_default_options() { return "halt_on_error=0:second_deadlock_stack=1"; }

// Pango hands Fontconfig's start-up and font matching to threads of its own
// ("[pango] FcInit", "[pango] FcFontSetMatch"); Fontconfig, built without
// the instrumentation, publishes its results through atomics that the
// sanitizer cannot see. Every report names a Fontconfig frame in one of its
// two stacks; reports without one still show. Mesa's software renderer,
// which GTK loads only when the user sets GDK_GL, frees its worker threads'
// locks while they may still touch them, inside swrast_dri.so alone.
const char* __tsan_default_suppressions() { return "race:libfontconfig.so\nrace:swrast_dri.so\n"; }

}  // extern "C"
