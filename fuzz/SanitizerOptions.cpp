// Linked into every fuzz target and its replay. An allocation that cannot be
// satisfied returns null, as glibc's does, instead of ending the run: CFITSIO
// asks for impossible sizes on some malformed headers and reports that as an
// error, which is what a real run sees. Memory actually taken stays bounded
// by libFuzzer's -malloc_limit_mb and -rss_limit_mb, and a failed operator
// new is still reported.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
