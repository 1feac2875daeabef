// What an uncaught exception (memory exhausted, a string too long) ends in: a diagnostic on the
// standard error stream, then an abort. The program catches no exception, so every one it
// throws ends here, through the runtime's std::terminate, with no cleanup and no box.
#include <cstdio>
#include <cstdlib>
#include <new>

namespace __gnu_cxx {

// The runtime's own handler names the exception's type, which links a demangler of some 45 KB
// into a program that has no console to show it on; this one, defined under the same name,
// takes its place and writes a fixed line instead.
void __verbose_terminate_handler() {
    std::fputs("KytDriverSetup: terminate called after an uncaught exception\n", stderr);
    std::abort();
}

}  // namespace __gnu_cxx

namespace std {

// The helpers that the standard containers call for a size too large, an index out of range
// or a null string. The runtime's own versions build a message string for an exception type of
// their own, which links some 60 KB of string and exception code; these throw std::bad_alloc,
// which ends the process through std::terminate just the same.
void __throw_bad_alloc() { throw std::bad_alloc(); }
void __throw_bad_array_new_length() { throw std::bad_alloc(); }
void __throw_length_error(const char*) { throw std::bad_alloc(); }
void __throw_logic_error(const char*) { throw std::bad_alloc(); }
void __throw_out_of_range_fmt(const char*, ...) { throw std::bad_alloc(); }

}  // namespace std
