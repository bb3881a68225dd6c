#!/usr/bin/env bash
# Platform conditionals belong to the backend folder of the platform seam only.
set -euo pipefail
cd "$(dirname "$0")/.."
hits=$(git ls-files -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' \
       | grep -v -E '^src/platform/(posix|win32)/' \
       | xargs -r grep -n -E '^\s*#\s*(if|ifdef|ifndef|elif).*(_WIN32|_WIN64|__linux__|__unix__|__APPLE__|_MSC_VER|__MINGW)' || true)
if [ -n "$hits" ]; then
    echo "platform conditionals outside src/platform/<backend>/:"
    echo "$hits"
    exit 1
fi
echo "platform conditionals: only in the backend folders"
