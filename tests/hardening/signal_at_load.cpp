// Preloaded into a program (LD_PRELOAD), raises the signal whose number
// QUELLMARK_TEST_SIGNAL_AT_LOAD holds as this library is initialised:
// a signal that comes while the libraries of the program start, before
// main() runs.
#include <csignal>
#include <cstdlib>

namespace {

__attribute__((constructor)) void RaiseAtLoad() {
  if (const char* value = std::getenv("QUELLMARK_TEST_SIGNAL_AT_LOAD"))
    std::raise(std::atoi(value));
}

}  // namespace
