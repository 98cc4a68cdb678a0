# Sourced by the demo and the benchmark: quiet build steps into "$build_log", a test for a
# configured build folder, and the steps both share.

# Installs what the build needs and starts an empty build log in the folder "$1".
begin_build() {
  bash scripts/install-deps.sh
  mkdir -p "$1"
  build_log=$1/build.log
  : >"$build_log"
}

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

# The publisher tool, native, in the folder "$1". No tests or sanitizers: the callers only run it.
build_publisher_tool() {
  configured "$1" || step "configure the publisher tool" \
    cmake --preset host -B "$1" -DQVS_BUILD_TESTS=OFF -DQVS_SANITIZE=OFF
  step "qvs-release" cmake --build "$1" --target qvs-release
}
