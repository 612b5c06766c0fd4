#!/bin/sh
# The layers point one way: handler -> storage -> model -> base, with platform
# under storage and handler. Fails naming every include that points the other
# way (tests included). Which system the program is built for is platform/'s
# business alone: nothing else branches on it, and main.cpp stays a few lines
# that hand the system's Env to the handler.
#
#   check_layers.sh SOURCE_DIR
set -u
root=${1:?usage: check_layers.sh SOURCE_DIR}
src=$root/src
status=0
# layer, then the layers its files may not include from
for rule in "base platform model storage handler" \
            "model platform storage handler" \
            "platform model storage handler" \
            "storage handler"; do
  set -- $rule
  layer=$1
  shift
  for forbidden in "$@"; do
    if grep -n "^[[:space:]]*#[[:space:]]*include[[:space:]]*\"$forbidden/" -r "$src/$layer" >&2; then
      echo "error: $layer/ must not include from $forbidden/" >&2
      status=1
    fi
  done
done

# A preprocessor branch on the system, anywhere but in platform/.
system_macros='_WIN32|_WIN64|__MINGW32__|__MINGW64__|_MSC_VER|__CYGWIN__|__linux__|__linux|__gnu_linux__|__APPLE__|__MACH__|__unix__|__unix|__FreeBSD__'
for dir in "$src" "$root/tests" "$root/tools" "$root/bench" "$root/fuzz"; do
  [ -d "$dir" ] || continue
  if grep -rnE "^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif)([[:space:]]|\().*($system_macros)" \
       --include='*.cpp' --include='*.h' --include='*.c' --exclude-dir=node_modules "$dir" |
     grep -v "^$src/platform/" >&2; then
    echo "error: only platform/ may ask which system it is built for" >&2
    status=1
  fi
done

# main.cpp: the handler, the host loop and the system's Env, and no more.
main=$src/main.cpp
if [ "$(grep -c '[^[:space:]]' "$main")" -gt 20 ] ||
   grep -n '^[[:space:]]*#[[:space:]]*include' "$main" |
     grep -vE '<optional>|"handler/safari_web_extension_handler.h"|"platform/host_loop.h"|"platform/system.h"' >&2; then
  echo "error: main.cpp must stay thin: the handler, the host loop and systemEnv()" >&2
  status=1
fi
exit $status
