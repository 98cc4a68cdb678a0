# Sourced by the demo and the benchmark: quiet build steps into "$build_log", a test for a
# configured build folder, and the start both share.

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

# Installs what the build needs, starts an empty build log in the folder "$1" and builds the
# publisher tool, native, into "$1/host" ("$tools", the tool "$qvs_release"). No tests or
# sanitizers: the callers only run it.
begin_build() {
  bash scripts/install-deps.sh
  mkdir -p "$1"
  build_log=$1/build.log
  : >"$build_log"
  tools=$1/host
  qvs_release=$tools/tools/qvs-release/qvs-release
  configured "$tools" || step "configure the publisher tool" \
    cmake --preset host -B "$tools" -DQVS_BUILD_TESTS=OFF -DQVS_SANITIZE=OFF
  step "qvs-release" cmake --build "$tools" --target qvs-release
}
