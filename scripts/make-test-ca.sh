#!/usr/bin/env bash
# Make a throw-away CA and a localhost server certificate for the update-check
# test service, plus trust-ca.reg that trusts the CA in one Wine prefix.
#
#   scripts/make-test-ca.sh OUTDIR
#
# Writes OUTDIR/ca.pem, ca.der, ca-key.pem, server.pem (leaf cert, CA cert,
# private key) and trust-ca.reg.  Does nothing when OUTDIR/server.pem exists
# and stays valid for at least another day, so test runs can call it freely.
# TEST_CA_KEY_TYPE=ec|rsa picks the key type (default ec: P-256).
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
outdir=$1
key_type=${TEST_CA_KEY_TYPE:-ec}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

mkdir -p "$outdir"
# Parallel callers must not interleave files from two different CAs.
exec 9>"$outdir/.lock"
flock 9

have_all=1
for f in ca.pem ca.der ca-key.pem server.pem trust-ca.reg; do
    [[ -s "$outdir/$f" ]] || have_all=0
done
if [[ $have_all == 1 ]] && openssl x509 -in "$outdir/server.pem" -noout -checkend 86400 >/dev/null; then
    exit 0
fi

case $key_type in
    ec)  genkey=(genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256)
         # ECDHE-ECDSA never encrypts with the certificate key.
         leaf_usage=digitalSignature ;;
    rsa) genkey=(genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048)
         leaf_usage=digitalSignature,keyEncipherment ;;
    *)   echo "TEST_CA_KEY_TYPE must be ec or rsa" >&2; exit 2 ;;
esac

work=$(mktemp -d "$outdir/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Back-dated a day so clock skew between host and Wine cannot make the
# certificates "not yet valid".
start=$(date -u -d '1 day ago' +%Y%m%d%H%M%SZ)
end=$(date -u -d '30 days' +%Y%m%d%H%M%SZ)

# `openssl ca` is used because it is the only openssl 3.0 command that can
# set notBefore explicitly.
touch "$work/index.txt"
cat >"$work/ca.cnf" <<EOF
[ca]
default_ca = test_ca

[test_ca]
dir = $work
database = \$dir/index.txt
new_certs_dir = \$dir
serial = \$dir/serial
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none

[any_name]
organizationName = optional
commonName = supplied

[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused

[v3_ca]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash

[v3_server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,$leaf_usage
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF

new_serial() { echo "01$(openssl rand -hex 15)" >"$work/serial"; }
sign() {  # sign CSR OUT EXTENSIONS [extra openssl ca args]
    local csr=$1 out=$2 ext=$3
    shift 3
    new_serial
    openssl ca -batch -notext -config "$work/ca.cnf" -extensions "$ext" \
        -startdate "$start" -enddate "$end" -in "$csr" -out "$out" "$@" 2>"$work/ca.log" \
        || { cat "$work/ca.log" >&2; exit 1; }
}

openssl "${genkey[@]}" -out "$work/ca-key.pem" 2>/dev/null
openssl req -new -config "$work/ca.cnf" -key "$work/ca-key.pem" \
    -subj "/O=Noctara tests/CN=Noctara Test CA (not for production)" -out "$work/ca.csr"
sign "$work/ca.csr" "$work/ca.pem" v3_ca -selfsign -keyfile "$work/ca-key.pem"

openssl "${genkey[@]}" -out "$work/server-key.pem" 2>/dev/null
openssl req -new -config "$work/ca.cnf" -key "$work/server-key.pem" \
    -subj "/O=Noctara tests/CN=localhost" -out "$work/server.csr"
sign "$work/server.csr" "$work/server-cert.pem" v3_server \
    -cert "$work/ca.pem" -keyfile "$work/ca-key.pem"

openssl x509 -in "$work/ca.pem" -outform DER -out "$work/ca.der"
python3 "$here/cert_to_reg.py" "$work/ca.der" "$work/trust-ca.reg" >/dev/null
# The chain goes out with the leaf so a client holding only the root in its
# store can still build the path; the key rides along for a one-file server.
cat "$work/server-cert.pem" "$work/ca.pem" "$work/server-key.pem" >"$work/server.pem"
chmod 600 "$work/ca-key.pem" "$work/server.pem"

# server.pem last: its presence marks a complete set.
rm -f "$outdir/server.pem"
for f in ca.pem ca.der ca-key.pem trust-ca.reg server.pem; do
    mv -f "$work/$f" "$outdir/$f"
done
echo "test CA written to $outdir (thumbprint $(python3 -c 'import hashlib,sys; print(hashlib.sha1(open(sys.argv[1],"rb").read()).hexdigest().upper())' "$outdir/ca.der"))"
