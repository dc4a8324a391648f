#!/usr/bin/env bash
# The include check itself, on small trees of its own: includes down the plan pass; an include
# of a folder above, of a folder beside, or of the host's own code fails and is named.
set -euo pipefail
check=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

mkdir -p "$tree"/{shell,web,catalogue,orders,browse,checkout,entry}
echo '#pragma once' > "$tree/shell/module.h"
printf '#include "shell/module.h"\n' > "$tree/web/request.h"
printf '#include "web/request.h"\n#include "shell/module.h"\n' > "$tree/catalogue/rules.cpp"
printf '#include "catalogue/rules.h"\n#include <vector>\n' > "$tree/orders/slots.cpp"
printf '#include "orders/slots.h"\n' > "$tree/browse/pages.cpp"
printf '#include "orders/slots.h"\n' > "$tree/checkout/submit.cpp"
printf '#include "browse/pages.h"\n#include "checkout/checkout.h"\n' > "$tree/entry/dispatch.cpp"

expect_pass() {
  if ! out=$("$check" "$tree"); then
    echo "FAIL: $1: the check refused a tree that follows the plan:"; echo "$out"; exit 1
  fi
}
expect_fail() {  # what, file, the text its report must hold
  if out=$("$check" "$tree"); then
    echo "FAIL: $1: the check passed"; exit 1
  fi
  if ! grep -qF "$2" <<<"$out"; then
    echo "FAIL: $1: the report does not name $2:"; echo "$out"; exit 1
  fi
}

expect_pass "includes down the plan"

printf '#include "orders/slots.h"\n' >> "$tree/catalogue/rules.cpp"
expect_fail "catalogue/ including orders/" "catalogue/rules.cpp:3: catalogue/ includes orders/"
sed -i '$d' "$tree/catalogue/rules.cpp"
expect_pass "the backward include taken out again"

printf '#include "entry/entry.h"\n' > "$tree/shell/startup.cpp"
expect_fail "shell/ including the top" "shell/startup.cpp:1: shell/ includes entry/"
rm "$tree/shell/startup.cpp"

printf '#include "checkout/checkout.h"\n' >> "$tree/browse/pages.cpp"
expect_fail "one page folder including another" "browse/pages.cpp:2: browse/ includes checkout/"
sed -i '$d' "$tree/browse/pages.cpp"

printf '#include "host/channels.h"\n' >> "$tree/web/request.h"
expect_fail "the module including the host's code" "web/request.h:2: web/ includes host/"
sed -i '$d' "$tree/web/request.h"

expect_pass "the tree restored"
echo "include check: passes and fails as it should"
