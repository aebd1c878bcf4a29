#!/usr/bin/env bash
# Installs the kit into a temporary prefix and builds its Debian package, then runs the
# installed and the unpacked programs. In a release build (not a sanitizer one) it also holds
# the package to lintian and builds it a second time, elsewhere, to compare the bytes.
# Usage: package_test.sh BUILD_DIR TESTS_DIR release|sanitized
set -euo pipefail
build=$(cd "$1" && pwd -P)
tests=$(cd "$2" && pwd)
kind=$3
src=$(cd "$tests/.." && pwd -P)
# The package's dates are the project's own choice here, not the caller's.
unset SOURCE_DATE_EPOCH
tmp=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill -KILL "$server" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
passed=0
failed=0
check() {   # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what" >&2; fi
}

# The scripted test server, for a real fetch.
"$tests/httpd.py" > "$tmp/port" &
server=$!
disown "$server"
for _ in $(seq 600); do [ -s "$tmp/port" ] && break; sleep 0.05; done
port=$(cat "$tmp/port")

# A private mount namespace, for a user in a user namespace of its own.
privatemounts=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] || privatemounts=(unshare -r --mount --propagation private)

# Runs the three programs found in DIR/bin.
runall() {
  local bin=$1/bin
  check "$bin/corvane -h" bash -c "'$bin/corvane' -h 2>&1 | head -n1 | grep -qx 'usage: corvane \[ options \] program args ...'"
  check "$bin/corvane passes on the exit code" bash -c "'$bin/corvane' -fifo '$tmp/ctl' sh -c 'exit 5'; [ \$? -eq 5 ]"
  check "$bin/brevin fetches" bash -c "[ \"\$('$bin/brevin' http://127.0.0.1:$port/hello)\" = 'hello, world' ]"
  if "${privatemounts[@]}" true 2>/dev/null; then
    echo 'MemTotal: 4096 kB' > "$tmp/meminfo"
    check "$bin/moltrin runs" bash -c "[ \"\$(${privatemounts[*]} sh -c 'mount --bind \"\$0\" /proc/meminfo && exec \"\$1\"' '$tmp/meminfo' '$bin/moltrin' | tr '\n' ' ')\" = 'memory size 4194304 allocate 3145729 ' ]"
  else
    echo "skipped running $bin/moltrin: private mount namespaces are not permitted here"
    check "$bin/moltrin is executable" test -x "$bin/moltrin"
  fi
}

# cmake --install into a prefix, staged under DESTDIR so that nothing lands outside $tmp, even
# where an install folder was configured as an absolute path.
DESTDIR=$tmp/dest cmake --install "$build" --prefix /prefix > /dev/null
ln -s dest/prefix "$tmp/prefix"
# Compressed the Debian way, so that the same page gives the same bytes: gzip -9n.
gzip9n() { cmp -s "$1" <(gzip -dc "$1" | gzip -9n); }
for t in corvane brevin moltrin; do
  check "$t installed" test -x "$tmp/prefix/bin/$t"
  check "$t.1.gz installed" test -s "$tmp/prefix/share/man/man1/$t.1.gz"
  check "$t.1.gz is gzip -9n" gzip9n "$tmp/prefix/share/man/man1/$t.1.gz"
  check "$t.1.gz renders" bash -c "mandoc -T ascii '$tmp/prefix/share/man/man1/$t.1.gz' | sed 's/.\x08//g' | grep -q '^NAME'"
done
check "changelog.gz is gzip -9n" gzip9n "$tmp/prefix/share/doc/smallkit/changelog.gz"
runall "$tmp/prefix"

# The Debian package.
(cd "$build" && cpack -G DEB -B "$tmp/pkg" > "$tmp/cpack.log") || { cat "$tmp/cpack.log"; exit 1; }
deb=$(ls "$tmp"/pkg/*.deb)
dpkg-deb -I "$deb" > "$tmp/info"
cat "$tmp/info"
check "Package field" grep -qE '^ Package: smallkit$' "$tmp/info"
check "Depends names libc6" grep -qE '^ Depends: .*libc6' "$tmp/info"
check "Depends names libcurl4" grep -qE '^ Depends: .*libcurl4' "$tmp/info"
check "Maintainer names the project" grep -qE '^ Maintainer: The smallkit project <' "$tmp/info"
check "a real description" grep -qE '^  corvane runs a program' "$tmp/info"
dpkg-deb -x "$deb" "$tmp/root"
for t in corvane brevin moltrin; do
  check "$t.1.gz packaged" test -s "$tmp/root/usr/share/man/man1/$t.1.gz"
done
runall "$tmp/root/usr"
doc=$tmp/root/usr/share/doc/smallkit
check "the changelog's latest entry is the package's version" \
  test "$(gzip -dc "$doc/changelog.gz" | dpkg-parsechangelog -l - -SVersion)" = "$(dpkg-deb -f "$deb" Version)"
# The licence text of the copyright file is the one in LICENSE, and so are the holder and year.
check "the copyright file carries LICENSE" cmp -s \
  <(sed -n '/^Permission/,$p' "$src/LICENSE") \
  <(sed -n '/^ Permission/,/^[^ ]/{/^ /s/^ //p}' "$doc/copyright" | sed 's/^\.$//')
check "the copyright file names LICENSE's holder" test \
  "$(sed -n 's/^Copyright (c) //p' "$src/LICENSE")" = "$(sed -n 's/^Copyright: //p' "$doc/copyright")"

if [ "$kind" = release ]; then
  # Debian's own checker: not one error or warning.
  lint=0
  TMPDIR=$tmp lintian --fail-on error,warning "$deb" > "$tmp/lintian" 2> "$tmp/lintian.err" || lint=$?
  cat "$tmp/lintian"
  [ "$lint" -eq 0 ] || grep -v 'root privileges' "$tmp/lintian.err" >&2 || true
  check "lintian finds nothing" test "$lint" -eq 0 -a ! -s "$tmp/lintian"

  # Reproducible: the same sources configured, built and packaged again in another folder, under
  # another umask and at another time, give the same bytes. The copy is a checkout of the same
  # commit when the sources are one, so that cpack dates it from that commit too.
  copy=$tmp/elsewhere/smallkit
  mkdir -p "$copy"
  tar -C "$src" --exclude=./.git --exclude=./build --exclude='./build-*' \
      --exclude="./${build#"$src"/}" -cf - . | tar -C "$copy" -xf -
  ingit=false
  if [ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" = "$src" ]; then
    ingit=true
    echo "gitdir: $(git -C "$src" rev-parse --absolute-git-dir)" > "$copy/.git"
  fi
  cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
  if [ "$(umask)" = 0077 ]; then other=0022; else other=0077; fi
  (umask "$other" &&
    cmake -S "$copy" -B "$copy/out" -G "$(cache CMAKE_GENERATOR)" \
      -DCMAKE_BUILD_TYPE="$(cache CMAKE_BUILD_TYPE)" -DCMAKE_CXX_COMPILER="$(cache CMAKE_CXX_COMPILER)" \
      -DCMAKE_CXX_FLAGS="$(cache CMAKE_CXX_FLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(cache CMAKE_EXE_LINKER_FLAGS)" \
      -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON > "$tmp/build2.log" &&
    cmake --build "$copy/out" -j2 --target corvane brevin moltrin gzipped_docs >> "$tmp/build2.log" &&
    cd "$copy/out" && cpack -G DEB -B "$tmp/pkg2" >> "$tmp/build2.log") || { cat "$tmp/build2.log"; exit 1; }
  check "a second build elsewhere gives the same bytes" cmp "$deb" "$tmp"/pkg2/*.deb

  # Every time stamp in the package is the date of the commit, or outside git that of the
  # changelog's latest entry: so too in a copy without git, like a release tarball.
  stamps() {   # prints the dates of the .deb's members and of every file in it, one a line
    local at=8 size
    while [ "$at" -lt "$(stat -c %s "$1")" ]; do
      dd if="$1" bs=1 skip=$((at + 16)) count=12 status=none | tr -d ' '; echo
      size=$(dd if="$1" bs=1 skip=$((at + 48)) count=10 status=none | tr -d ' ')
      at=$((at + 60 + size + size % 2))
    done
    dpkg-deb --fsys-tarfile "$1" | TZ=UTC tar -tv --full-time | awk '{ print $4 "T" $5 }' \
      | TZ=UTC xargs -n1 date +%s -d
  }
  stamped() {   # stamped DEB EPOCH: the members of DEB and every file in it are dated EPOCH
    local list
    list=$(stamps "$1") && [ -n "$list" ] && [ -z "$(grep -vx "$2" <<< "$list")" ]
  }
  logdate=$(dpkg-parsechangelog -l "$src/scripts/package/changelog" -STimestamp)
  if $ingit; then
    check "every stamp in the package is the commit's date" stamped "$deb" "$(git -C "$src" log -1 --format=%ct)"
    rm "$copy/.git"
    (cd "$copy/out" && cpack -G DEB -B "$tmp/pkg3" > "$tmp/cpack3.log") || { cat "$tmp/cpack3.log"; exit 1; }
    check "without git every stamp is the changelog's date" stamped "$tmp"/pkg3/*.deb "$logdate"
  else
    check "without git every stamp is the changelog's date" stamped "$deb" "$logdate"
  fi
else
  echo "lintian and the reproducibility check are the release build's: a $kind build is no release"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
