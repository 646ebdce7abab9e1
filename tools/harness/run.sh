#!/usr/bin/env bash
# Runs COMMAND against the stand-in web service inside a private network and
# mount namespace: https://<site-host>/ resolves to 127.0.0.1 and is signed by
# a throw-away CA that is the ONLY trusted CA in there. The machine's trust
# store, /etc/hosts and network stay untouched.
#
#   tools/harness/run.sh [--site-host NAME] [--service-arg ARG]... -- COMMAND [ARGS...]
#
# COMMAND sees TOLVANE_SITE_HOST, TOLVANE_UNTRUSTED_HOST (a host whose
# certificate chains to an untrusted CA), TOLVANE_HARNESS=1 and
# TOLVANE_HARNESS_DIR (holding ca.pem, server.pem, server.key).
# The exit status is COMMAND's, or 2 when the set-up fails.
# Set TOLVANE_HARNESS_USERNS=1 to use a user namespace even as root.

set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
service="$here/../standin/service.py"

die() {
  echo "harness: $*" >&2
  exit 2
}

site_host="brevant.example"
service_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --site-host)
      [ $# -ge 2 ] || die "--site-host needs a value"
      site_host="$2"; shift 2 ;;
    --service-arg)
      [ $# -ge 2 ] || die "--service-arg needs a value"
      service_args+=("$2"); shift 2 ;;
    --)
      shift; break ;;
    *)
      die "unknown option '$1' (usage: run.sh [--site-host NAME] [--service-arg ARG]... -- COMMAND [ARGS...])" ;;
  esac
done
[ $# -gt 0 ] || die "no COMMAND given after --"
[[ "$site_host" =~ ^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$ ]] || die "bad site host '$site_host'"
untrusted_host="untrusted.$site_host"

# ---------------------------------------------------------------- inside the namespaces
if [ -n "${_TOLVANE_HARNESS_INNER:-}" ]; then
  work="$_TOLVANE_HARNESS_INNER"
  unset _TOLVANE_HARNESS_INNER
  pids=()

  stop_services() {
    local pid i
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do
      for ((i = 0; i < 50; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      kill -KILL "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    done
    pids=()
  }
  cmd_pid=""
  # shellcheck disable=SC2317 # run from the traps below
  on_signal() { # signal exit-code: pass it on to COMMAND, then the EXIT trap stops the services
    local i
    if [ -n "$cmd_pid" ]; then
      kill -"$1" "$cmd_pid" 2>/dev/null || true
      for ((i = 0; i < 50; i++)); do
        kill -0 "$cmd_pid" 2>/dev/null || break
        sleep 0.1
      done
      kill -KILL "$cmd_pid" 2>/dev/null || true
    fi
    exit "$2"
  }
  trap stop_services EXIT
  trap 'on_signal TERM 143' TERM
  trap 'on_signal INT 130' INT
  trap 'on_signal HUP 129' HUP

  ip link set lo up || die "cannot bring up the loopback interface"
  [ -d /etc/ssl/certs ] || die "/etc/ssl/certs is missing (install ca-certificates)"
  mount --bind "$work/certs" /etc/ssl/certs || die "cannot mount the test CA over /etc/ssl/certs"
  mount --bind "$work/hosts" /etc/hosts || die "cannot mount the test hosts file over /etc/hosts"

  # Nothing may reach past the namespace or trust another store.
  unset SSL_CERT_FILE SSL_CERT_DIR CURL_CA_BUNDLE REQUESTS_CA_BUNDLE \
    http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

  start_service() { # name bind cert key site
    python3 "$service" --site-host "$5" --bind "$2" --port 443 --cert "$3" --key "$4" \
      --ready-file "$work/$1.ready" ${service_args[@]+"${service_args[@]}"} \
      >"$work/$1.log" 2>&1 &
    pids+=("$!")
  }
  start_service main 127.0.0.1 "$work/server.pem" "$work/server.key" "$site_host"
  start_service untrusted 127.0.0.2 "$work/untrusted.pem" "$work/untrusted.key" "$untrusted_host"

  for ((i = 0; i < 150; i++)); do
    [ -f "$work/main.ready" ] && [ -f "$work/untrusted.ready" ] && break
    for pid in "${pids[@]}"; do
      if ! kill -0 "$pid" 2>/dev/null; then
        cat "$work/main.log" "$work/untrusted.log" >&2 2>/dev/null || true
        die "the stand-in service exited during start-up"
      fi
    done
    sleep 0.1
  done
  if ! [ -f "$work/main.ready" ] || ! [ -f "$work/untrusted.ready" ]; then
    cat "$work/main.log" "$work/untrusted.log" >&2 2>/dev/null || true
    die "the stand-in service did not come up within 15 s"
  fi

  export TOLVANE_SITE_HOST="$site_host" TOLVANE_UNTRUSTED_HOST="$untrusted_host" \
    TOLVANE_HARNESS=1 TOLVANE_HARNESS_DIR="$work"
  # In the background so that a signal to the harness is acted on at once;
  # stdin is handed on explicitly because background jobs get /dev/null.
  exec 3<&0
  "$@" <&3 3<&- &
  cmd_pid=$!
  set +e
  wait "$cmd_pid"
  status=$?
  set -e
  cmd_pid=""

  for pid in "${pids[@]}"; do
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "harness: a stand-in service died while COMMAND ran; its log:" >&2
      cat "$work/main.log" "$work/untrusted.log" >&2 2>/dev/null || true
      break
    fi
  done
  stop_services
  exit "$status"
fi

# ---------------------------------------------------------------- outside: certificates, then re-exec
for tool in openssl unshare ip mount python3; do
  command -v "$tool" >/dev/null 2>&1 || die "'$tool' is not installed"
done
[ -f "$service" ] || die "service not found at $service"

work="$(mktemp -d "${TMPDIR:-/tmp}/tolvane-harness.XXXXXX")" || die "cannot create a temp dir"
inner_pid=""
# shellcheck disable=SC2317 # run from the traps below
on_signal() { # signal exit-code
  [ -z "$inner_pid" ] || kill -"$1" "$inner_pid" 2>/dev/null || true
  [ -z "$inner_pid" ] || wait "$inner_pid" 2>/dev/null || true
  exit "$2"
}
trap 'rm -rf -- "$work"' EXIT
trap 'on_signal TERM 143' TERM
trap 'on_signal INT 130' INT
trap 'on_signal HUP 129' HUP

make_ca() { # prefix common-name
  openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$work/$1.key" -out "$work/$1.pem" -days 7 -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>>"$work/openssl.log"
}
make_leaf() { # prefix host ca-prefix
  printf '%s\n' "subjectAltName=DNS:$2" "basicConstraints=critical,CA:FALSE" \
    "keyUsage=critical,digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" \
    "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid,issuer" >"$work/$1.ext"
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$work/$1.key" -out "$work/$1.csr" -subj "/CN=$2" 2>>"$work/openssl.log" &&
    openssl x509 -req -in "$work/$1.csr" -CA "$work/$3.pem" -CAkey "$work/$3.key" \
      -CAcreateserial -out "$work/$1.pem" -days 7 -extfile "$work/$1.ext" 2>>"$work/openssl.log"
}
if ! { make_ca ca "Tolvane Test CA" &&
  make_leaf server "$site_host" ca &&
  make_ca untrusted-ca "Tolvane Untrusted CA" &&
  make_leaf untrusted "$untrusted_host" untrusted-ca; }; then
  cat "$work/openssl.log" >&2
  die "certificate generation failed"
fi

mkdir "$work/certs"
cp "$work/ca.pem" "$work/certs/ca-certificates.crt"
hash="$(openssl x509 -hash -noout -in "$work/ca.pem")" || die "cannot hash the test CA"
ln -s ca-certificates.crt "$work/certs/$hash.0"

localhost_lines="$(grep -E '^[[:space:]]*[0-9a-fA-F:.]+[[:space:]]+([^#]*[[:space:]])?localhost([[:space:]]|$)' /etc/hosts 2>/dev/null || true)"
{
  [ -z "$localhost_lines" ] || printf '%s\n' "$localhost_lines"
  grep -qE '^[[:space:]]*127\.0\.0\.1[[:space:]]' <<<"$localhost_lines" || echo "127.0.0.1 localhost"
  echo "127.0.0.1 $site_host"
  echo "127.0.0.2 $untrusted_host"
} >"$work/hosts"

ns=(--net --mount)
if [ "$(id -u)" -ne 0 ] || [ "${TOLVANE_HARNESS_USERNS:-0}" = 1 ]; then
  ns=(--user --map-root-user "${ns[@]}")
fi
unshare "${ns[@]}" -- true 2>"$work/unshare.log" || {
  cat "$work/unshare.log" >&2
  die "cannot create network and mount namespaces (unshare ${ns[*]})"
}
args=(--site-host "$site_host")
for a in ${service_args[@]+"${service_args[@]}"}; do args+=(--service-arg "$a"); done

exec 3<&0
_TOLVANE_HARNESS_INNER="$work" unshare "${ns[@]}" -- bash "$here/run.sh" "${args[@]}" -- "$@" <&3 3<&- &
inner_pid=$!
set +e
wait "$inner_pid"
status=$?
set -e
inner_pid=""
exit "$status"
