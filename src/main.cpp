#include <cerrno>
#include <cstring>
#include <iostream>
#include <string_view>

#include "version.hpp"

namespace {

constexpr std::string_view kVersionPrefix = "veltrin-backend ";
constexpr std::string_view kHelpText =
    "Usage: veltrin-backend [OPTIONS]\n"
    "\n"
    "Options:\n"
    "  --socket <path>  Unix socket path to listen on\n"
    "  --version, -v    Print version and exit\n"
    "  --help, -h       Show this help\n";
constexpr std::string_view kRefusal =
    "[veltrin-backend] Unix domain socket daemon not supported on Windows\n";
constexpr std::string_view kWriteError = "[veltrin-backend] write error";

// Whole-argument comparison, so that no abbreviation, other case of letters
// or look-alike character is taken for an option.
template <typename Char>
bool is_option(const Char *arg, std::string_view option) {
  for (const char expected : option) {
    if (*arg != static_cast<Char>(expected)) {
      return false;
    }
    ++arg;
  }
  return *arg == Char{};
}

// A version line or help text that never reached standard output (a full
// disk, a closed descriptor) must not end in success: the caller would take
// the missing text for an answer.
int finish_answer() {
  std::cout.flush();
  if (std::cout) {
    return 0;
  }
  const int error = errno;
  std::cerr << kWriteError;
  if (error != 0) {
    std::cerr << ": " << std::strerror(error);
  }
  std::cerr << '\n';
  return 1;
}

template <typename Char>
int run(int argc, Char *argv[]) {
  // Cleared so that a failed write that sets no errno is not reported with a
  // stale description left over from start-up.
  errno = 0;
  for (int i = 1; i < argc; ++i) {
    if (is_option(argv[i], "--version") || is_option(argv[i], "-v")) {
      std::cout << kVersionPrefix << kVersion << '\n';
      return finish_answer();
    }
    if (is_option(argv[i], "--help") || is_option(argv[i], "-h")) {
      std::cout << kHelpText;
      return finish_answer();
    }
  }
  std::cerr << kRefusal;
  return 1;
}

}  // namespace

#ifdef _WIN32
// The C runtime would expand wildcards in the arguments; defining this pins
// it off, and an accidental switch-on (CRT_glob.o) then fails to link.
extern "C" {
int _dowildcard = 0;
}

// A narrow main() gets the command line converted to the ANSI code page with
// best fit, which turns look-alikes such as U+FF0D FULLWIDTH HYPHEN-MINUS into
// '-', so that a look-alike of "-v" would pass for it. The wide entry sees the
// arguments exactly as given, on every Windows version (a UTF-8 code page
// manifest would need Windows 10 1903 or later).
int wmain(int argc, wchar_t *argv[]) { return run(argc, argv); }
#else
int main(int argc, char *argv[]) { return run(argc, argv); }
#endif
