// What an uncaught exception (memory exhausted, a string too long) ends in: a diagnostic on the
// standard error stream, then an abort. The runtime's own handler names the exception's type,
// which links a demangler of some 45 KB into a program that has no console to show it on; this
// one, defined under the same name, takes its place and writes a fixed line instead.
#include <cstdio>
#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    std::fputs("KytDriverSetup: terminate called after an uncaught exception\n", stderr);
    std::abort();
}

}  // namespace __gnu_cxx
