// The emulator library (unicorn 2.0) does not free, when an engine is closed,
// the self-modifying-code bitmap (512 bytes) that it builds for a page the
// program both runs code from and writes to (the SDK merges data into the
// code section). The memory is the library's own and never reachable from
// ours. Only LeakSanitizer reads this; the rule names that one function.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:tb_invalidate_phys_page_fast\n";
}
