#!/usr/bin/env bash
# Installs the kit into a temporary prefix and builds its Debian package, then runs the
# installed and the unpacked programs. Usage: package_test.sh BUILD_DIR TESTS_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
tests=$(cd "$2" && pwd)
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
for _ in $(seq 100); do [ -s "$tmp/port" ] && break; sleep 0.05; done
port=$(cat "$tmp/port")

# Runs the three programs found in DIR/bin.
runall() {
  local bin=$1/bin
  check "$bin/corvane -h" bash -c "'$bin/corvane' -h 2>&1 | head -n1 | grep -qx 'usage: corvane \[ options \] program args ...'"
  check "$bin/corvane passes on the exit code" bash -c "'$bin/corvane' -fifo '$tmp/ctl' sh -c 'exit 5'; [ \$? -eq 5 ]"
  check "$bin/brevin fetches" bash -c "[ \"\$('$bin/brevin' http://127.0.0.1:$port/hello)\" = 'hello, world' ]"
  if unshare --mount --propagation private true 2>/dev/null; then
    echo 'MemTotal: 4096 kB' > "$tmp/meminfo"
    check "$bin/moltrin runs" bash -c "[ \"\$(unshare --mount --propagation private sh -c 'mount --bind \"\$0\" /proc/meminfo && exec \"\$1\"' '$tmp/meminfo' '$bin/moltrin' | tr '\n' ' ')\" = 'memory size 4194304 allocate 3145729 ' ]"
  else
    echo "skipped running $bin/moltrin: private mount namespaces are not permitted here"
    check "$bin/moltrin is executable" test -x "$bin/moltrin"
  fi
}

# cmake --install into a prefix.
cmake --install "$build" --prefix "$tmp/prefix" > /dev/null
for t in corvane brevin moltrin; do
  check "$t installed" test -x "$tmp/prefix/bin/$t"
  check "$t.1 installed" test -s "$tmp/prefix/share/man/man1/$t.1"
  check "$t.1 renders" bash -c "mandoc -T ascii '$tmp/prefix/share/man/man1/$t.1' | sed 's/.\x08//g' | grep -q '^NAME'"
done
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
  check "$t.1 packaged" test -s "$tmp/root/usr/share/man/man1/$t.1"
done
runall "$tmp/root/usr"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
