#!/usr/bin/env bash
# Trust the test CA made by make-test-ca.sh inside the Wine prefix named by
# $WINEPREFIX only (current-user Root store; the host and other prefixes are
# untouched).
#
#   WINEPREFIX=/tmp/some-prefix scripts/trust-test-ca.sh OUTDIR
#
# Creates the prefix first if it does not exist yet.
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: WINEPREFIX=... $0 OUTDIR" >&2
    exit 2
fi
if [[ -z ${WINEPREFIX:-} ]]; then
    echo "WINEPREFIX must be set: trusting the test CA in the default prefix is refused" >&2
    exit 2
fi
reg=$1/trust-ca.reg
der=$1/ca.der
if [[ ! -s $reg || ! -s $der ]]; then
    echo "$reg or $der missing: run scripts/make-test-ca.sh $1 first" >&2
    exit 1
fi

export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono/Gecko install dialogs while a fresh prefix boots.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

if [[ ! -f $WINEPREFIX/system.reg ]]; then
    wineboot -u >/dev/null 2>&1
    wineserver -w
fi

wine reg import "$(winepath -w "$reg" 2>/dev/null || echo "$reg")" >/dev/null 2>&1 \
    || { echo "wine reg import $reg failed" >&2; exit 1; }

thumb=$(python3 -c 'import hashlib,sys; print(hashlib.sha1(open(sys.argv[1],"rb").read()).hexdigest().upper())' "$der")
key="HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$thumb"
if ! wine reg query "$key" /v Blob >/dev/null 2>&1; then
    echo "the CA key $thumb is not in $WINEPREFIX after the import" >&2
    exit 1
fi
# user.reg reaches the disk only when the wineserver exits.
wineserver -w
echo "test CA $thumb trusted in $WINEPREFIX"
