#!/bin/sh
# Makes throwaway signing material in DIR, as certificate authorities issue
# it, for the tests and CI to sign with and check against; nothing of it is
# worth keeping, and none of it belongs in the tree.
#
# usage: tests/throwaway.sh DIR [lists] [token] [tsa] [rebuilders]
#        tests/throwaway.sh --stop DIR
# Always: a root and an intermediate; the publisher's certificate issued by
# the intermediate, for an organization, with its key in a file encrypted
# with the passphrase in DIR/passphrase; DIR/chain.pem, the publisher's
# certificate and the intermediate, as a signer is given them;
# DIR/publisher.p12, the key and that chain in one PKCS#12 file, locked
# with the same passphrase; and DIR/other-root.pem, a root that issued none
# of it.
#   lists  certificates that name where their issuer's revocation list is,
#          as a public CA's do, served over HTTP on 127.0.0.1 until --stop;
#          DIR/lists.pem holds every list. A second publisher,
#          DIR/revoked-chain.pem with DIR/revoked.key, whose certificate
#          the intermediate's list revokes, for a key compromised on
#          1 January 2026.
#   token  a SoftHSM2 token whose RSA key was generated inside it, where it
#          stays: DIR/token.uri names it, DIR/pin opens it, and
#          DIR/token-chain.pem is its certificate and the intermediate. The
#          token is found through SOFTHSM2_CONF=DIR/softhsm2.conf.
#   tsa    an RFC 3161 time-stamp authority with a root of its own,
#          DIR/tsa-root.pem, answering at the address in DIR/tsa.url on
#          127.0.0.1 until --stop
#   rebuilders  two rebuilders' Ed25519 keys: DIR/archive.key in PEM, locked
#          with the passphrase, and DIR/clone.key in OpenSSH's form, unlocked,
#          as many an ssh key is; DIR/rebuilders.txt lists both, as a user
#          who trusts them would
#   --stop      stop the server of DIR's lists and authority
#   --help, -h  print this usage
set -eu

usage() {  # exit status: the header from its usage line, on stdout for 0
  sed -n '/^# usage:/,/^set -eu$/{/^set -eu$/d; s/^# \{0,1\}//p}' "$0" |
    if [ "$1" = 0 ]; then cat; else cat >&2; fi
  exit "$1"
}
case ${1-} in --help | -h) usage 0 ;; -*) [ "$1" = --stop ] || usage 2 ;; esac
if [ "${1-}" = --stop ]; then
  [ $# = 2 ] || usage 2
  [ ! -f "$2/server.pid" ] || kill "$(cat "$2/server.pid")" 2>/dev/null || true
  rm -f "$2/server.pid"
  exit 0
fi
[ $# -ge 1 ] || usage 2
dir=$1
shift
lists='' token='' tsa='' rebuilders=''
for word; do
  case $word in
  lists) lists=yes ;;
  token) token=yes ;;
  tsa) tsa=yes ;;
  rebuilders) rebuilders=yes ;;
  *) usage 2 ;;
  esac
done
mkdir -p "$dir/lists"
passphrase=$(openssl rand -hex 16)
echo "$passphrase" >"$dir/passphrase"

# One HTTP server on a port the system picks, which it names on its first
# line once it listens: no port to guess, and no wait to time. It serves the
# revocation lists, and time-stamps what is posted to it.
url=''
if [ -n "$lists$tsa" ]; then
  mkfifo "$dir/server.fifo"
  /usr/bin/python3 -c '
import http.server, os, subprocess, sys
folder, config = sys.argv[1], sys.argv[2]
class Authority(http.server.BaseHTTPRequestHandler):
    def reply(self, kind, body):
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def do_GET(self):
        path = os.path.join(folder, os.path.basename(self.path))
        if not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            self.reply("application/pkix-crl", f.read())
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        self.reply("application/timestamp-reply", subprocess.run(
            ["openssl", "ts", "-reply", "-config", config, "-queryfile",
             "/dev/stdin", "-out", "/dev/stdout"],
            input=query, capture_output=True, check=True).stdout)
server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
print("http://127.0.0.1:%d/" % server.server_port, flush=True)
server.serve_forever()' "$dir/lists" "$dir/tsa.cnf" >"$dir/server.fifo" \
    2>"$dir/server.log" &
  echo $! >"$dir/server.pid"
  read -r url <"$dir/server.fifo" || { cat "$dir/server.log" >&2 && exit 1; }
fi

certificate() {  # name, subject, issuer's name or - for none, option...
  name=$1 subject=$2 issuer=$3
  shift 3
  if [ "$issuer" = - ]; then
    set -- "$@" -x509
  else
    set -- "$@" -CA "$dir/$issuer.pem" -CAkey "$dir/$issuer.key" \
      -passin "pass:$passphrase"
    [ -z "$lists" ] ||
      set -- "$@" -addext "crlDistributionPoints=URI:${url}$issuer.crl"
  fi
  openssl req -config /dev/null -new -newkey rsa:2048 -days 1000 \
    -subj "$subject" "$@" -keyout "$dir/$name.key" -out "$dir/$name.pem" \
    -passout "pass:$passphrase" 2>/dev/null
}
# A revocation list of an authority's, valid for longer than anything it
# issued, that revokes the certificates named.
revocation_list() {  # authority's name, certificate revoked...
  authority=$1
  shift
  : >"$dir/$authority.index"
  printf '[ca]\ndefault_ca = this\n[this]\ndatabase = %s\ndefault_md = sha256\n' \
    "$dir/$authority.index" >"$dir/$authority.cnf"
  for revoked; do
    openssl ca -config "$dir/$authority.cnf" -cert "$dir/$authority.pem" \
      -keyfile "$dir/$authority.key" -passin "pass:$passphrase" \
      -revoke "$dir/$revoked.pem" -crl_reason keyCompromise 2>/dev/null
  done
  # The time of the compromise, not of the revocation: a fixed one.
  sed -i 's/\t[0-9]*Z,/\t260101000000Z,/' "$dir/$authority.index"
  openssl ca -config "$dir/$authority.cnf" -cert "$dir/$authority.pem" \
    -keyfile "$dir/$authority.key" -passin "pass:$passphrase" -gencrl \
    -crldays 3000 -out "$dir/$authority.crl" 2>/dev/null
  cat "$dir/$authority.crl" >>"$dir/lists.pem"
  # Served as certificate authorities serve them: DER.
  openssl crl -in "$dir/$authority.crl" -outform DER -out "$dir/lists/$authority.crl"
}
ca='-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign'
# shellcheck disable=SC2086 # one word per option
certificate root "/CN=veltrin-backend throwaway root" - $ca
# shellcheck disable=SC2086
certificate other-root "/CN=veltrin-backend throwaway other root" - $ca
certificate intermediate "/CN=veltrin-backend throwaway intermediate" root \
  -addext basicConstraints=critical,CA:TRUE,pathlen:0 \
  -addext keyUsage=critical,keyCertSign,cRLSign
# A code-signing certificate's extensions: a file, as openssl x509 takes
# them for the token's certificate, and options, as openssl req does.
printf '%s\n' basicConstraints=critical,CA:FALSE \
  keyUsage=critical,digitalSignature extendedKeyUsage=codeSigning \
  >"$dir/publisher.ext"
[ -z "$lists" ] ||
  echo "crlDistributionPoints=URI:${url}intermediate.crl" >>"$dir/publisher.ext"
publisher() {  # name, its chain's name, subject
  # shellcheck disable=SC2046 # one word per option
  certificate "$1" "$3" intermediate \
    $(sed '/^crl/d; s/^/-addext /' "$dir/publisher.ext")
  cat "$dir/$1.pem" "$dir/intermediate.pem" >"$dir/$2.pem"
}
publisher publisher chain \
  "/O=Veltrin Throwaway Publisher/CN=veltrin-backend throwaway publisher"
openssl pkcs12 -export -inkey "$dir/publisher.key" -in "$dir/chain.pem" \
  -passin "pass:$passphrase" -passout "pass:$passphrase" -out "$dir/publisher.p12"
rm "$dir/other-root.key"
if [ -n "$lists" ]; then
  publisher revoked revoked-chain "/CN=veltrin-backend throwaway revoked publisher"
  : >"$dir/lists.pem"
  revocation_list root
  revocation_list intermediate revoked
fi

if [ -n "$token" ]; then
  export SOFTHSM2_CONF="$dir/softhsm2.conf"
  mkdir "$dir/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\n' \
    "$dir/tokens" >"$SOFTHSM2_CONF"
  pin=$(openssl rand -hex 4)
  echo "$pin" >"$dir/pin"
  softhsm2-util --init-token --free --label veltrin-throwaway \
    --so-pin "$(openssl rand -hex 8)" --pin "$pin" >/dev/null
  module="--module /usr/lib/softhsm/libsofthsm2.so --token-label veltrin-throwaway"
  # shellcheck disable=SC2086 # one word per option
  pkcs11-tool $module --login --pin "$pin" --keypairgen --key-type rsa:2048 \
    --label publisher --id 01 --usage-sign >/dev/null
  # shellcheck disable=SC2086
  pkcs11-tool $module --read-object --type pubkey --label publisher \
    -o "$dir/token-public.der" >/dev/null
  openssl pkey -pubin -inform DER -in "$dir/token-public.der" \
    -out "$dir/token-public.pem"
  openssl x509 -new \
    -subj "/O=Veltrin Throwaway Token Publisher/CN=veltrin-backend throwaway token publisher" \
    -force_pubkey "$dir/token-public.pem" -days 1000 \
    -CA "$dir/intermediate.pem" -CAkey "$dir/intermediate.key" \
    -passin "pass:$passphrase" -extfile "$dir/publisher.ext" \
    -out "$dir/token.pem"
  cat "$dir/token.pem" "$dir/intermediate.pem" >"$dir/token-chain.pem"
  echo "pkcs11:token=veltrin-throwaway;object=publisher" >"$dir/token.uri"
fi

if [ -n "$tsa" ]; then
  # shellcheck disable=SC2086
  certificate tsa-root "/CN=veltrin-backend throwaway time-stamp root" - $ca
  certificate tsa "/CN=veltrin-backend throwaway time-stamp authority" \
    tsa-root -addext basicConstraints=critical,CA:FALSE \
    -addext keyUsage=critical,digitalSignature \
    -addext extendedKeyUsage=critical,timeStamping
  [ -z "$lists" ] || revocation_list tsa-root
  openssl pkey -in "$dir/tsa.key" -passin "pass:$passphrase" \
    -out "$dir/tsa-plain.key"
  cat >"$dir/tsa.cnf" <<EOF
[ tsa ]
default_tsa = throwaway
[ throwaway ]
serial = $dir/tsa.serial
signer_cert = $dir/tsa.pem
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
  echo "$url" >"$dir/tsa.url"
fi

if [ -n "$rebuilders" ]; then
  /usr/bin/python3 -c '
import os, sys
from cryptography.hazmat.primitives import serialization as form
from cryptography.hazmat.primitives.asymmetric import ed25519
folder, passphrase = sys.argv[1], sys.argv[2].encode()
keys = {"archive": (form.PrivateFormat.PKCS8, form.BestAvailableEncryption(passphrase)),
        "clone": (form.PrivateFormat.OpenSSH, form.NoEncryption())}
with open(f"{folder}/rebuilders.txt", "w") as listed:
    for name, (private_form, lock) in keys.items():
        key = ed25519.Ed25519PrivateKey.generate()
        with open(os.open(f"{folder}/{name}.key", os.O_WRONLY | os.O_CREAT, 0o600), "wb") as file:
            file.write(key.private_bytes(form.Encoding.PEM, private_form, lock))
        public = key.public_key().public_bytes(form.Encoding.OpenSSH, form.PublicFormat.OpenSSH)
        listed.write(f"{name} {public.decode()}\n")' "$dir" "$passphrase"
fi
