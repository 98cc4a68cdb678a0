# Sourced by the demo and the benchmark: quiet build steps into "$build_log", which the caller
# sets, and a test for a configured build folder.

# Runs a build step quietly; on failure shows the end of the build log.
step() {
  local what=$1
  shift
  echo "build: $what"
  if ! "$@" >>"$build_log" 2>&1; then
    echo "build failed: $what (last lines of $build_log):" >&2
    tail -n 40 "$build_log" >&2
    exit 1
  fi
}

configured() { [ -f "$1/build.ninja" ]; }
