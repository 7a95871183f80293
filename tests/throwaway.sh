#!/bin/sh
# Makes throwaway signing material in DIR, as certificate authorities issue
# it, for the tests and CI to sign with and check against; nothing of it is
# worth keeping, and none of it belongs in the tree.
#
# usage: tests/throwaway.sh DIR [token] [tsa]
#        tests/throwaway.sh --stop DIR
# Always: a root and an intermediate; the publisher's certificate issued by
# the intermediate, with its key in a file encrypted with the passphrase in
# DIR/passphrase; DIR/chain.pem, the publisher's certificate and the
# intermediate, as a signer is given them; and DIR/other-root.pem, a root
# that issued none of it.
#   token  a SoftHSM2 token whose RSA key was generated inside it, where it
#          stays: DIR/token.uri names it, DIR/pin opens it, and
#          DIR/token-chain.pem is its certificate and the intermediate. The
#          token is found through SOFTHSM2_CONF=DIR/softhsm2.conf.
#   tsa    an RFC 3161 time-stamp authority with a root of its own,
#          DIR/tsa-root.pem, answering at the address in DIR/tsa.url on
#          127.0.0.1 until --stop
set -eu

if [ "${1-}" = --stop ]; then
  [ ! -f "$2/tsa.pid" ] || kill "$(cat "$2/tsa.pid")" 2>/dev/null || true
  rm -f "$2/tsa.pid"
  exit 0
fi
dir=$1
shift
mkdir -p "$dir"
passphrase=$(openssl rand -hex 16)
echo "$passphrase" >"$dir/passphrase"

certificate() {  # name, subject, issuer's name or - for none, option...
  name=$1 subject=$2 issuer=$3
  shift 3
  if [ "$issuer" = - ]; then
    set -- "$@" -x509
  else
    set -- "$@" -CA "$dir/$issuer.pem" -CAkey "$dir/$issuer.key" \
      -passin "pass:$passphrase"
  fi
  openssl req -config /dev/null -new -newkey rsa:2048 -days 1000 \
    -subj "$subject" "$@" -keyout "$dir/$name.key" -out "$dir/$name.pem" \
    -passout "pass:$passphrase" 2>/dev/null
}
ca='-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign'
# shellcheck disable=SC2086 # one word per option
certificate root "/CN=veltrin-backend throwaway root" - $ca
# shellcheck disable=SC2086
certificate other-root "/CN=veltrin-backend throwaway other root" - $ca
certificate intermediate "/CN=veltrin-backend throwaway intermediate" root \
  -addext basicConstraints=critical,CA:TRUE,pathlen:0 \
  -addext keyUsage=critical,keyCertSign
# A code-signing certificate's extensions: a file, as openssl x509 takes
# them for the token's certificate, and options, as openssl req does.
printf '%s\n' basicConstraints=critical,CA:FALSE \
  keyUsage=critical,digitalSignature extendedKeyUsage=codeSigning \
  >"$dir/publisher.ext"
# shellcheck disable=SC2046 # one word per option
certificate publisher "/CN=veltrin-backend throwaway publisher" \
  intermediate $(sed 's/^/-addext /' "$dir/publisher.ext")
cat "$dir/publisher.pem" "$dir/intermediate.pem" >"$dir/chain.pem"
rm "$dir/other-root.key"

for word; do
  case $word in
  token)
    export SOFTHSM2_CONF="$dir/softhsm2.conf"
    mkdir "$dir/tokens"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\n' \
      "$dir/tokens" >"$SOFTHSM2_CONF"
    pin=$(openssl rand -hex 4)
    echo "$pin" >"$dir/pin"
    softhsm2-util --init-token --free --label veltrin-throwaway \
      --so-pin "$(openssl rand -hex 8)" --pin "$pin" >/dev/null
    token="--module /usr/lib/softhsm/libsofthsm2.so --token-label veltrin-throwaway"
    # shellcheck disable=SC2086 # one word per option
    pkcs11-tool $token --login --pin "$pin" --keypairgen --key-type rsa:2048 \
      --label publisher --id 01 --usage-sign >/dev/null
    # shellcheck disable=SC2086
    pkcs11-tool $token --read-object --type pubkey --label publisher \
      -o "$dir/token-public.der" >/dev/null
    openssl pkey -pubin -inform DER -in "$dir/token-public.der" \
      -out "$dir/token-public.pem"
    openssl x509 -new -subj "/CN=veltrin-backend throwaway token publisher" \
      -force_pubkey "$dir/token-public.pem" -days 1000 \
      -CA "$dir/intermediate.pem" -CAkey "$dir/intermediate.key" \
      -passin "pass:$passphrase" -extfile "$dir/publisher.ext" \
      -out "$dir/token.pem"
    cat "$dir/token.pem" "$dir/intermediate.pem" >"$dir/token-chain.pem"
    echo "pkcs11:token=veltrin-throwaway;object=publisher" >"$dir/token.uri"
    ;;
  tsa)
    # shellcheck disable=SC2086
    certificate tsa-root "/CN=veltrin-backend throwaway time-stamp root" - $ca
    certificate tsa "/CN=veltrin-backend throwaway time-stamp authority" \
      tsa-root -addext basicConstraints=critical,CA:FALSE \
      -addext keyUsage=critical,digitalSignature \
      -addext extendedKeyUsage=critical,timeStamping
    openssl pkey -in "$dir/tsa.key" -passin "pass:$passphrase" \
      -out "$dir/tsa-plain.key"
    cat >"$dir/tsa.cnf" <<EOF
[ tsa ]
default_tsa = throwaway
[ throwaway ]
serial = $dir/tsa.serial
signer_cert = $dir/tsa.pem
certs = $dir/tsa.pem
signer_key = $dir/tsa-plain.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_alg = sha256
EOF
    echo 01 >"$dir/tsa.serial"
    # An HTTP responder on a port the system picks, which it names on its
    # first line once it listens: no port to guess, and no wait to time.
    mkfifo "$dir/tsa.fifo"
    python3 -c '
import http.server, subprocess, sys
class TimeStamp(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config",
            sys.argv[1], "-queryfile", "/dev/stdin", "-out", "/dev/stdout"],
            input=query, capture_output=True, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamp)
print("http://127.0.0.1:%d/" % server.server_port, flush=True)
server.serve_forever()' "$dir/tsa.cnf" >"$dir/tsa.fifo" 2>"$dir/tsa.log" &
    echo $! >"$dir/tsa.pid"
    read -r url <"$dir/tsa.fifo" || { cat "$dir/tsa.log" >&2 && exit 1; }
    echo "$url" >"$dir/tsa.url"
    ;;
  *)
    echo "usage: tests/throwaway.sh DIR [token] [tsa]" >&2
    exit 2
    ;;
  esac
done
