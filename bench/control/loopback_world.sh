# Sourced by the benchmark scripts: a zevo-p2pd on a free loopback port and one zevo-camd
# registered with it, in the temporary folder $work (removed on exit unless KEEP is
# set). Expects $build and $did; extra zevo-camd options in the array camd_args.
# Leaves $port set. Sessions run sealed: viewers run with XDG_CONFIG_HOME=$work/.config
# find the service's key where installed viewers look for it.
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
mkdir -p "$work/.config/zevo"
"$build/p2p/zevo-p2pd" --new-signing-key "$work/signing.key" >"$work/.config/zevo/service-keys"
"$build/p2p/zevo-p2pd" --listen 127.0.0.1:0 --port-file "$work/port" --key bench \
    --signing-key-file "$work/signing.key" >/dev/null 2>"$work/p2pd.log" &
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(cat "$work/port")
secret=$("$build/p2p/zevo-p2pd" --key bench --device-secret "$did")
init=$("$build/p2p/zevo-p2pd" --init-string 127.0.0.1:$port)
"$build/device/zevo-camd" --did "$did" --secret "$secret" --password 135790 \
    --server 127.0.0.1:$port --init-string "$init" --state-file "$work/state" \
    "${camd_args[@]}" >/dev/null 2>"$work/camd.log" &
for _ in $(seq 200); do grep -q registered "$work/camd.log" && break; sleep 0.05; done
