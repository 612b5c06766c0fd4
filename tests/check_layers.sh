#!/bin/sh
# The layers point one way: handler -> storage -> model -> base, with platform
# under storage and handler. Fails naming every include that points the other
# way (tests included).
#
#   check_layers.sh SOURCE_DIR
set -u
src=${1:?usage: check_layers.sh SOURCE_DIR}/src
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
exit $status
