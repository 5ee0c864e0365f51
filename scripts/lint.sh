#!/bin/sh
# Fails on C++ that .clang-format would change, shell scripts with shellcheck
# findings and Python with flake8 findings, over the files git tracks.
set -eu
cd "$(dirname "$0")/.."

status=0
cxx=$(git ls-files '*.cpp' '*.h')
# shellcheck disable=SC2086
clang-format --dry-run -Werror $cxx || status=1
shell=$(git ls-files '*.sh' .ci/run)
# shellcheck disable=SC2086
shellcheck $shell || status=1
python=$(git ls-files '*.py')
# shellcheck disable=SC2086
flake8 $python || status=1
if [ $status -ne 0 ]; then
  echo "lint: findings above" >&2
fi
exit $status
