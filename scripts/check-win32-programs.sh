#!/usr/bin/env bash
# Syntax-checks the user-mode programs vraxsim runs (every file in tools/vraxsim/programs/:
# the client calls in vrax_client.{h,cpp} and one file per program) and the public headers a
# program includes (include/vrax/vrax_ioctl.h, vrax_names.h) against Debian's mingw-w64
# Windows headers, so what the programs call is plain Win32 and would build against the real
# SDK. Only include/ and the programs' own directory are on the include path, so a program
# that reaches for the platform, the simulated machine or vraxsim's account does not build;
# a quoted include that climbs out of the directory is refused by name. Needs
# g++-mingw-w64-x86-64 (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

# The default alternative (win32 thread model) has no std::mutex or std::thread: the
# programs lock and wait only through Win32, so they need neither.
cxx=x86_64-w64-mingw32-g++
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "check-win32-programs: $cxx not found (install g++-mingw-w64-x86-64)" >&2
  exit 1
fi

dir=tools/vraxsim/programs
flags=(-std=c++20 -fsyntax-only -Wall -Wextra -Werror -Iinclude "-I$dir")
status=0
check() {
  local what=$1
  shift
  if "$cxx" "${flags[@]}" "$@"; then
    echo "check-win32-programs: ok    $what"
  else
    echo "check-win32-programs: FAIL  $what" >&2
    status=1
  fi
}

shopt -s nullglob
programs=("$dir"/*.h "$dir"/*.cpp)
if ((${#programs[@]} == 0)); then
  echo "check-win32-programs: FAIL  no programs in $dir" >&2
  exit 1
fi

for file in "${programs[@]}"; do
  # A quoted include names a file beside the programs, never one elsewhere in the tree.
  while IFS= read -r header; do
    echo "check-win32-programs: FAIL  $file includes \"$header\", outside $dir" >&2
    status=1
  done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*\/[^"]*)".*/\1/p' "$file")
  case $file in
    *.cpp) check "$file" "$file" ;;
    *.h)
      check "$file" -x c++ - <<SOURCE
#include "$(basename "$file")"
int main() { return 0; }
SOURCE
      ;;
  esac
done

# Each public header on its own after <windows.h>, as a program would include it.
for header in vrax_ioctl.h vrax_names.h; do
  check "include/vrax/$header" -x c++ - <<SOURCE
#include <windows.h>
#include <winioctl.h>
#include <initguid.h>
#include <vrax/$header>
#ifdef IOCTL_VRAX_BIND_SERVICE
static_assert(IOCTL_VRAX_BIND_SERVICE == CTL_CODE(0x0001, 0x906, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "the control codes are CTL_CODE(1, function, METHOD_BUFFERED, FILE_ANY_ACCESS)");
#endif
int main() { return 0; }
SOURCE
done
exit $status
