# service_start BUILD: the local HTTPS update service (service.py) for the
# tests, the benchmark and the screenshots, on the port of the build's update
# authority, its self-signed certificate for localhost trusted by the
# template prefix (so by every copy) only. Source after harness.sh.
SERVICE_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

service_start() {
    local dir="$HARNESS_DIR/service" port
    mkdir -p "$dir"
    openssl x509 -in "$dir/cert.pem" -noout -checkend 86400 >/dev/null 2>&1 ||
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=localhost \
            -addext subjectAltName=DNS:localhost -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null
    port="$(sed -n 's/^NOCTARA_UPDATE_AUTHORITY:[A-Z]*=.*://p' "$1/CMakeCache.txt")"
    rm -f "$dir/trust.reg"
    python3 "$SERVICE_DIR/service.py" "$port" "$dir" </dev/null >"$dir/log" 2>&1 &
    HARNESS_PIDS+=($!)
    harness_wait_for 20 test -f "$dir/trust.reg" || { harness_log "the update service did not start"; return 1; }
    # The imported file stays in the template as the record of what it trusts.
    if ! cmp -s "$dir/trust.reg" "$HARNESS_TEMPLATE/drive_c/trust.reg"; then
        cp "$dir/trust.reg" "$HARNESS_TEMPLATE/drive_c/trust.reg"
        WINEPREFIX="$HARNESS_TEMPLATE" wine reg import 'C:\trust.reg' </dev/null >/dev/null 2>&1
        WINEPREFIX="$HARNESS_TEMPLATE" wineserver -w
    fi
}
