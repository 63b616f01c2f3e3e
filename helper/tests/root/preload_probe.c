// Preloaded into a program, says so on its standard output before its main.
#include <unistd.h>

__attribute__((constructor)) static void announce(void) { (void)!write(1, "preloaded\n", 10); }
