# Sourced by the scripts that build and run the test suite: the sanitizers' run-time options and
# one way to configure and build the suite, so every script tests the same build.
#   suite_folder SANITIZE     the build folder scripts/run-tests uses (build/ or build-<sanitizers>/)
#   build_suite FOLDER SANITIZE [cmake --build arguments...]
# Expects $root (the checkout) to be set.

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"

suite_folder() {
  if [ -n "$1" ]; then echo "$root/build-${1//,/-}"; else echo "$root/build"; fi
}

build_suite() {
  local folder="$1" sanitize="$2"
  shift 2
  # The sanitized builds use clang at -O1: it instruments in a third of the time g++ takes (the
  # instrumented builds were most of CI), its UndefinedBehaviorSanitizer checks alignment that
  # g++'s misses, and the plain build with g++ keeps both compilers' warnings in the suite.
  local sanitized=()
  if [ -n "$sanitize" ]; then
    "$root/scripts/ensure-deps" clang libclang-rt-14-dev
    sanitized=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG")
  fi
  cmake -S "$root" -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSELKO_WERROR=ON \
    -DSELKO_SANITIZE="$sanitize" "${sanitized[@]}" >/dev/null
  cmake --build "$folder" "$@"
}

# The one option of the suite's scripts: --sanitize address,undefined|thread, into $sanitize.
read_sanitize_option() {
  sanitize=""
  while [ $# -gt 0 ]; do
    case "$1" in
      --sanitize) sanitize="$2"; shift 2 ;;
      *) echo "usage: $0 [--sanitize address,undefined|thread]" >&2; exit 2 ;;
    esac
  done
}
