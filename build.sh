#!/bin/sh
# Sets up, builds and runs the module, runs every test, or packages it.
#   ./build.sh run [options]   install what is missing, build (build-run/),
#                              start the module
#   ./build.sh test            install what is missing, build and run all tests
#                              natively, under emulation for 32-bit ARM
#                              (64-bit ARM: built only), under ASan+UBSan
#                              and TSan, check
#                              the three packages and the manual page, then
#                              run each fuzz target for XAP_FUZZ_SECONDS (60)
#                              (XAP_TARGETS="native armhf" picks), and the
#                              chaos run for XAP_CHAOS_SECONDS (60) natively
#                              and a quarter of that natively in contained
#                              mode and under ASan; then the
#                              coverage report (below) and clang-tidy over
#                              the module and the host; warnings and
#                              clang-tidy findings are errors here
#   ./build.sh coverage        the tests and a chaos run of half
#                              XAP_CHAOS_SECONDS on a gcov build
#                              (build-coverage/), then line and branch
#                              coverage of FileSystem/ and Host/: a table
#                              here, pages in build-coverage/coverage/
#   ./build.sh package         the Debian packages for amd64, armhf and arm64,
#                              into dist/
# run and package need root (or sudo) only to install missing packages;
# test and coverage need root themselves: the isolated tests and the chaos
# run use unshare and mount, and one test runs the module as another user
# with setpriv (it is skipped without root).
set -eu
cd "$(dirname "$0")"

RUN_PACKAGES="g++ cmake make libboost-dev nlohmann-json3-dev coreutils unzip zip psmisc"
# The format check needs the one clang-format version it was written for.
# procps gives the tests pgrep.
TEST_PACKAGES="$RUN_PACKAGES libgtest-dev googletest clang-format-14 clang-tidy-14 gcovr qemu-user lintian groff-base procps"
# Extra packages per target. The ARM tests run on Debian's own runtime
# libraries of the target (multiarch), as on a device.
CROSS_armhf="crossbuild-essential-armhf libc6:armhf libstdc++6:armhf libgcc-s1:armhf"
CROSS_aarch64="crossbuild-essential-arm64 libc6:arm64 libstdc++6:arm64 libgcc-s1:arm64"
CROSS_fuzz="clang libclang-rt-14-dev"
TARGETS="${XAP_TARGETS:-native armhf aarch64 asan tsan fuzz coverage tidy}"
FUZZ_SECONDS="${XAP_FUZZ_SECONDS:-60}"
CHAOS_SECONDS="${XAP_CHAOS_SECONDS:-60}"

# Installs the packages that are not installed yet; does nothing otherwise.
install_missing() {
  missing=""
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing="$missing $pkg"
    fi
  done
  [ -z "$missing" ] && return 0
  echo "installing:$missing" >&2
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  # Packages of another architecture (libc6:armhf) need it known to dpkg.
  for arch in $(printf '%s\n' $missing | sed -n 's/.*:\(.*\)$/\1/p' | sort -u); do
    dpkg --print-foreign-architectures | grep -qx "$arch" || $sudo dpkg --add-architecture "$arch"
  done
  # A mirror caught syncing one index must not stop the install.
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2 ||
    echo "apt-get update reported errors; installing from what it fetched" >&2
  # shellcheck disable=SC2086
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >&2
}

# Presets of the packages and their Debian architectures.
PACKAGE_TARGETS="native armhf aarch64"
deb_arch() { case "$1" in native) echo amd64 ;; aarch64) echo arm64 ;; *) echo "$1" ;; esac; }

# Configures and builds one preset (native, armhf, aarch64).
build() {
  preset="$1"
  shift
  cmake --preset "$preset" "$@" >&2
  cmake --build --preset "$preset" -j "$(nproc)" >&2
}

# Runs the tests of a preset and says how many rows ran and how many were
# skipped (no root, no namespaces, no containment), which ctest's
# "tests passed" leaves to its list of tests that did not run.
ROWS_RAN=0
ROWS_SKIPPED=0
run_tests() {
  rows=$(mktemp)
  status=0
  ctest --preset "$1" -j "$(nproc)" --output-junit "$rows" || status=$?
  skipped=$(grep -c '<skipped' "$rows" || true)
  ran=$(($(grep -c '<testcase ' "$rows" || true) - skipped))
  rm -f "$rows"
  ROWS_RAN=$((ROWS_RAN + ran))
  ROWS_SKIPPED=$((ROWS_SKIPPED + skipped))
  echo "== $1: $ran rows ran, $skipped skipped" >&2
  return "$status"
}

# Fails when a page cites a test row (`Suite.Name` or `Suite.*` in
# backquotes) that no test program of the native build has.
check_cited_rows() {
  known=$(mktemp)
  for program in build/tests/*_test; do "$program" --gtest_list_tests; done |
    awk '/^[A-Za-z0-9_]+\.$/ { suite = $1; print suite "*" } /^  / { print suite $1 }' >"$known"
  cited=$(grep -oh '`[A-Z][A-Za-z0-9]*\.\(\*\|[A-Z][A-Za-z0-9]*[a-z][A-Za-z0-9]*\)`' \
    README.md SECURITY.md BENCHMARKS.md doc/*.md | tr -d '`' | sort -u)
  missing=$(printf '%s\n' "$cited" | grep -vxF -f "$known" || true)
  rm -f "$known"
  [ -z "$missing" ] || { printf 'cited, but no such test row: %s\n' $missing >&2; return 1; }
  echo "== pages: the $(printf '%s\n' "$cited" | wc -l) test rows they cite all exist" >&2
}

# Runs every fuzz target for a bounded time, starting from its seeds; a
# finding fails the run.
run_fuzzers() {
  for fuzzer in build-fuzz/fuzz/*_fuzz; do
    name=$(basename "$fuzzer" _fuzz)
    mkdir -p "build-fuzz/corpus/$name"
    "$fuzzer" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
      -artifact_prefix="build-fuzz/" "build-fuzz/corpus/$name" "fuzz/seeds/$name" \
      2>"build-fuzz/$name.log" || { tail -30 "build-fuzz/$name.log" >&2; return 1; }
    echo "== fuzz $name: $(grep -o 'number_of_executed_units: [0-9]*' "build-fuzz/$name.log")" >&2
  done
}

# Runs the built program of a build folder through the chaos driver for a
# given time (with a third word, in contained mode, where it can be had); a
# failing round prints its seed and fails the run.
run_chaos() {
  program="$PWD/$1/xapFileSystem"
  if [ -n "${3:-}" ]; then
    if ! "$program" --contain < /dev/null > /dev/null 2>&1; then
      echo "== chaos, contained: skipped, no containment here" >&2
      return 0
    fi
    printf '#!/bin/sh\nexec %s --contain "$@"\n' "$program" > "$1/xapFileSystem-contained"
    chmod +x "$1/xapFileSystem-contained"
    program="$PWD/$1/xapFileSystem-contained"
  fi
  "$1/fuzz/chaos/xap_chaos" --program "$program" --seconds "$2" >&2
}

# Runs the tests and a chaos run of $1 seconds on the coverage build, whose
# module and host write gcov counters (the module processes that tests and
# the chaos driver start included), then reports the coverage of the lines
# and branches of FileSystem/ and Host/: a table on stderr, pages in
# build-coverage/coverage/. Branches that only an exception takes are left
# out. A failed test or round fails it after the report; no figure does.
run_coverage() {
  find build-coverage -name '*.gcda' -exec rm -f {} +
  failed=0
  run_tests coverage || failed=1
  run_chaos build-coverage "$1" || failed=1
  report=build-coverage/coverage
  rm -rf "$report"
  mkdir -p "$report"
  # Counters written while other threads run may disagree a little (a
  # branch taken more often than its block ran): gcov's lines that show it
  # are skipped, not fatal.
  gcovr --root . --filter FileSystem/ --filter Host/ --exclude-throw-branches --gcov-ignore-parse-errors \
    --exclude-unreachable-branches -j "$(nproc)" --html-details "$report/index.html" \
    --csv "$report/coverage.csv" --json "$report/coverage.json" --print-summary build-coverage >&2
  # filename,line_total,line_covered,line_percent,branch_total,branch_covered,...
  awk -F, 'NR == 1 { printf "%-42s %15s %17s\n", "File", "Lines", "Branches"; next }
    function share(n, d) { return d ? sprintf("%5.1f%%", 100 * n / d) : "    -" }
    { printf "%-42s %4d/%4d %s %4d/%4d %s\n", $1, $3, $2, share($3, $2), $6, $5, share($6, $5)
      l += $2; lc += $3; b += $5; bc += $6 }
    END { printf "%-42s %4d/%4d %s %4d/%4d %s\n", "TOTAL", lc, l, share(lc, l), bc, b, share(bc, b) }' \
    "$report/coverage.csv" >&2
  echo "== coverage: $report/index.html" >&2
  return "$failed"
}

# Runs clang-tidy (.clang-tidy) over every unit of FileSystem/ and Host/ with
# the compile commands of the native build (configured by the caller); a
# finding fails it.
run_tidy() {
  find FileSystem Host -name '*.cpp' | sort |
    xargs -P "$(nproc)" -n 1 clang-tidy-14 -p build --quiet --warnings-as-errors='*' >&2
  echo "== tidy: no findings" >&2
}

# Builds the package of a preset's build into dist/ (the build is done).
package() {
  dir=build
  [ "$1" = native ] || dir="build-$1"
  cpack --config "$dir/CPackConfig.cmake" >&2
}

# Checks the package of one preset: its fields and files, that its program
# answers (under emulation for ARM), and lintian's verdict.
check_package() {
  arch=$(deb_arch "$1")
  deb="dist/xapfilesystem_1.001_$arch.deb"
  info=$(dpkg-deb --info "$deb")
  printf '%s\n' "$info" | grep -q "^ Architecture: $arch$"
  printf '%s\n' "$info" | grep -q "^ Depends: libc6 (>= 2\.[0-9]*), coreutils (>= 8\\.32), psmisc, unzip$"
  contents=$(dpkg-deb --contents "$deb")
  for file in usr/bin/xapFileSystem usr/share/man/man1/xapFileSystem.1.gz \
    usr/share/doc/xapfilesystem/README.md usr/share/doc/xapfilesystem/SECURITY.md \
    usr/share/doc/xapfilesystem/copyright usr/share/doc/xapfilesystem/changelog.gz; do
    printf '%s\n' "$contents" | grep -q " \./$file$" || { echo "$deb lacks $file" >&2; return 1; }
  done
  root=$(mktemp -d)
  dpkg-deb -x "$deb" "$root"
  case "$arch" in
    amd64) run="" ;;
    armhf) run="qemu-arm -L /" ;;
    arm64) run="qemu-aarch64 -L /" ;;
  esac
  [ "$($run "$root/usr/bin/xapFileSystem" --version)" = "FileSystem 0001 1.001" ]
  if [ "$arch" = amd64 ]; then
    [ "$(echo GetName | "$root/usr/bin/xapFileSystem")" = '{"cmd":"GetName","ok":true,"reply":"FileSystem"}' ]
  fi
  rm -rf "$root"
  lintian --fail-on error "$deb" >&2
  echo "== package $deb: checked" >&2
}

cmd="${1:-}"
[ $# -gt 0 ] && shift
case "$cmd" in
  run)
    install_missing $RUN_PACKAGES
    build run
    exec build-run/xapFileSystem "$@"
    ;;
  test)
    cross=""
    for target in $TARGETS; do
      eval "cross=\"\$cross \${CROSS_$target:-}\""
    done
    # shellcheck disable=SC2086
    install_missing $TEST_PACKAGES $cross
    for target in $TARGETS; do
      start=$(date +%s)
      if [ "$target" = fuzz ]; then
        build fuzz
        built=$(date +%s)
        run_fuzzers
      elif [ "$target" = coverage ]; then
        build coverage -DXAP_BUILD_TESTS=ON -DXAP_WERROR=ON
        built=$(date +%s)
        run_coverage $((CHAOS_SECONDS / 2))
      elif [ "$target" = tidy ]; then
        # Configured only: the compile commands are all clang-tidy needs.
        cmake --preset native -DXAP_BUILD_TESTS=ON -DXAP_WERROR=ON >&2
        built=$(date +%s)
        run_tidy
      else
        build "$target" -DXAP_BUILD_TESTS=ON -DXAP_WERROR=ON
        built=$(date +%s)
        case "$target" in
          # 64-bit ARM finds nothing that 32-bit ARM (unsigned char) and this
          # machine (64 bits) do not: its tests are built, not run.
          aarch64) ;;
          *) run_tests "$target" ;;
        esac
        case "$target" in
          native)
            run_chaos build "$CHAOS_SECONDS"
            run_chaos build $((CHAOS_SECONDS / 4)) contained
            ;;
          asan) run_chaos build-asan $((CHAOS_SECONDS / 4)) ;;
        esac
        case " $PACKAGE_TARGETS " in
          *" $target "*)
            package "$target"
            check_package "$target"
            ;;
        esac
        if [ "$target" = native ]; then
          # The manual page renders without a warning.
          out=$(groff -man -t -ww -z doc/xapFileSystem.1 2>&1)
          [ -z "$out" ] || { echo "$out" >&2; exit 1; }
          check_cited_rows
        fi
      fi
      echo "== $target: build $((built - start)) s, tests $(($(date +%s) - built)) s" >&2
    done
    echo "== all builds: $ROWS_RAN rows ran, $ROWS_SKIPPED skipped" >&2
    ;;
  coverage)
    # shellcheck disable=SC2086
    install_missing $TEST_PACKAGES
    build coverage -DXAP_BUILD_TESTS=ON -DXAP_WERROR=ON
    run_coverage $((CHAOS_SECONDS / 2))
    ;;
  package)
    # shellcheck disable=SC2086
    install_missing $RUN_PACKAGES $CROSS_armhf $CROSS_aarch64
    for target in $PACKAGE_TARGETS; do
      build "$target" -DXAP_BUILD_TESTS=OFF
      package "$target"
    done
    ls -l dist/*.deb >&2
    ;;
  *)
    echo "usage: $0 run [--log-level N] | $0 test | $0 coverage | $0 package" >&2
    exit 2
    ;;
esac
