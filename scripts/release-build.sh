# shellcheck shell=bash
# Shared by release.sh, sign-exe.sh and verify-release.sh (sourced, not run): the one way a
# release is built, so that the publisher's build and an auditor's rebuild run the same commands.

# The Debian packages whose versions decide the bytes of a release build.
QVS_TOOLCHAIN_PACKAGES=(
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix-runtime
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev mingw-w64-common cmake ninja-build
)
# shellcheck disable=SC2034  # used by the scripts that source this file
QVS_RELEASE_EXES=(launcher/QuorvantisSupport.exe host/QuorvantisSupportHost.exe)

qvs_fail() {
  echo "$(basename "$0"): $*" >&2
  exit 2
}

# Reads a script's command line. The first argument names the options that take a value,
# "--option=variable" each ("--option=name[]" appends to the array `name`, for an option given
# more than once); what is no option goes to the array `operands`. -h and --help print the script's usage and exit 0;
# an unknown option, or one without its value, prints the usage on stderr and exits 2.
qvs_read_options() {
  local known=" $1 " target
  shift
  operands=()
  while [ $# -gt 0 ]; do
    case $1 in
      -h | --help) usage; exit 0 ;;
      -*)
        if [[ $known != *" $1="* ]] || [ $# -lt 2 ]; then
          usage >&2
          exit 2
        fi
        target=${known#*" $1="}
        target=${target%% *}
        if [[ $target == *'[]' ]]; then
          local -n qvs_values=${target%'[]'}
          qvs_values+=("$2")
          unset -n qvs_values
        else
          printf -v "$target" '%s' "$2"
        fi
        shift 2 ;;
      *) operands+=("$1"); shift ;;
    esac
  done
}

# Prints one "toolchain.PACKAGE=VERSION" line per package ("not installed" when missing).
qvs_toolchain_versions() {
  local package version
  for package in "${QVS_TOOLCHAIN_PACKAGES[@]}"; do
    version=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) || version=""
    echo "toolchain.$package=${version:-not installed}"
  done
}

# The configure and build commands, as run from the checkout with the key file copied beside it.
qvs_configure_command() {
  echo "cmake --preset windows -B ../build -DQVS_TRUSTED_KEY_FILE=../update-key.pub -DQVS_UPDATE_HOST=$1"
}
qvs_build_command() {
  echo "cmake --build ../build"
}

# qvs_checkout REPOSITORY COMMIT WORK: a clean checkout of COMMIT in WORK/src, cloned afresh or
# reused when WORK/src already is one.
qvs_checkout() {
  local repository=$1 commit=$2 work=$3
  if [ -e "$work/src" ]; then
    [ "$(git -C "$work/src" rev-parse HEAD 2>/dev/null)" = "$commit" ] ||
      qvs_fail "$work/src holds something other than a checkout of $commit"
    [ -z "$(git -C "$work/src" status --porcelain --untracked-files=all)" ] ||
      qvs_fail "the checkout $work/src has local changes"
    return
  fi
  git clone --quiet --no-checkout "$repository" "$work/src" || qvs_fail "cannot clone $repository"
  git -C "$work/src" -c advice.detachedHead=false checkout --quiet --detach "$commit" ||
    qvs_fail "commit $commit is not in $repository"
}

# qvs_build WORK KEY_FILE HOST: configures and builds the windows preset of WORK/src into
# WORK/build with KEY_FILE (copied to WORK/update-key.pub) and HOST.
qvs_build() {
  local work=$1 key=$2 host=$3 configure build
  cmp -s "$key" "$work/update-key.pub" 2>/dev/null || cp "$key" "$work/update-key.pub"
  configure=$(qvs_configure_command "$host")
  build=$(qvs_build_command)
  echo "in the checkout of $(git -C "$work/src" rev-parse HEAD):"
  echo "  $configure"
  echo "  $build"
  (
    cd "$work/src"
    # Word splitting is what turns the recorded command into arguments; the host is a host name.
    # shellcheck disable=SC2086
    $configure >"$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; exit 1; }
    # shellcheck disable=SC2086
    $build >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; exit 1; }
  ) || qvs_fail "the build failed (logs in $work)"
}

qvs_sha256() {
  sha256sum "$1" | cut -d' ' -f1
}

# qvs_valid_host NAME: what the release configuration accepts as an update host.
qvs_valid_host() {
  [[ $1 =~ ^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$ ]]
}
