#!/usr/bin/env bash
# The folders OpenSSL has compiled into qdrlgui.exe (configuration, certificates,
# engines, modules) must all be the fixed administrator-only Windows folder: a path of
# the build machine would read, on Windows, as a folder on the current drive that any
# user can create.
set -euo pipefail
exe=${1:?usage: check_openssl_dirs.sh qdrlgui.exe}
readonly expected='C:/Windows/Quadrel/ssl'
dirs=$(strings -a "$exe" | grep -E '(^|/)(ssl|certs|private|engines-3|ossl-modules)(/|$)|\.cnf$' || true)
echo "$dirs"
grep -q "^$expected" <<<"$dirs" || { echo "FAIL: $expected is not compiled in"; exit 1; }
if grep -v "^$expected" <<<"$dirs" | grep -q '^/'; then
  echo "FAIL: build-machine paths are compiled in"
  exit 1
fi
echo "PASS"
