#!/usr/bin/env bash
# Compares the library's exports with the Debian symbols file: every exported symbol must be listed
# (with the version it appeared in) and every listed one exported (a symbol gone breaks programs
# linked against an earlier build). Given the package's version, no symbol may claim a later one:
# programs built against the package would then depend on a version that does not exist.
#   packaging/check-symbols.sh LIBRARY SYMBOLS-FILE [PACKAGE-VERSION]
set -euo pipefail
library=$1
symbols=$2
version=${3:-}

soname=$(objdump -p "$library" | awk '$1 == "SONAME" {print $2}')
read -r listedName _ <"$symbols"
[[ $listedName == "$soname" ]] || { echo "$symbols is for $listedName, the library is $soname"; exit 1; }

exported=$(nm -D --defined-only "$library" | awk 'NF == 3 {print $3 "@Base"}' | sort -u)
listed=$(awk '/^ / {print $1}' "$symbols" | sort -u)
[[ -n $exported ]] || { echo "$library exports nothing"; exit 1; }
status=0
unlisted=$(comm -23 <(echo "$exported") <(echo "$listed"))
gone=$(comm -13 <(echo "$exported") <(echo "$listed"))
[[ -z $unlisted ]] || { echo "exported but not in $symbols:"; echo "$unlisted"; status=1; }
[[ -z $gone ]] || { echo "in $symbols but no longer exported:"; echo "$gone"; status=1; }
if [[ -n $version ]]; then
    while read -r symbolVersion; do
        dpkg --compare-versions "$symbolVersion" le "$version" ||
            { echo "$symbols claims version $symbolVersion, the package is $version"; status=1; }
    done < <(awk '/^ / {print $2}' "$symbols" | sort -u)
fi
exit $status
