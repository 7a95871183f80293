#!/bin/sh
# Checks what the Windows executable carries besides its behaviour: its
# headers and checksum, its signature, the DLLs it imports, its version
# resource, and the notices of the libraries linked into it.
#
# usage: check_windows_exe.sh EXE VERSION OBJDUMP WINDRES LINK-MAP NOTICES
#                             RELEASE
#   RELEASE  the path of the release's files less their endings; the build
#            keeps the signature it attached as RELEASE.signature
set -eu

exe=$1 version=$2 objdump=$3 windres=$4 map=$5 notices=$6 release=$7
failed=0
headers=$("$objdump" -p "$exe")

# A console program, so that a command prompt waits for it and shows what it
# writes.
if ! printf '%s\n' "$headers" | grep -q '^Subsystem[[:space:]]*00000003'; then
  echo "not a console program:" && printf '%s\n' "$headers" | grep Subsystem
  failed=1
fi

# ASLR, with 64-bit addresses, and DEP. The linker sets them by default; no
# change of flags may drop them.
characteristics=0x$(printf '%s\n' "$headers" |
  sed -n 's/^DllCharacteristics[[:space:]]*//p')
for flag in 0x20=HIGH_ENTROPY_VA 0x40=DYNAMIC_BASE 0x100=NX_COMPAT; do
  if [ $((characteristics & ${flag%=*})) = 0 ]; then
    echo "DllCharacteristics $characteristics lacks ${flag#*=}" && failed=1
  fi
done

# The checksum in the header covers the whole file, a signature included,
# so attaching one must write it anew: the sum of the file's 16-bit words,
# less the checksum's own two, folded to 16 bits, plus the file's length.
word32() {  # file, offset
  od --endian=little -An -tu4 -j "$2" -N 4 "$1" | tr -d ' '
}
header_at=$(word32 "$exe" 60)
checksum_at=$((header_at + 88))
checksum=$(od --endian=little -An -v -tu2 -w2 "$exe" |
  awk -v skip=$((checksum_at / 2 + 1)) -v size="$(wc -c <"$exe")" '
    NR == skip { stored = $1 } NR == skip + 1 { stored += $1 * 65536 }
    NR != skip && NR != skip + 1 { sum += $1; sum = sum % 65536 + int(sum / 65536) }
    END { printf "%08x %08x\n", stored, sum + size }')
if [ "${checksum% *}" != "${checksum#* }" ]; then
  echo "PE checksum ${checksum% *}, but the file sums to ${checksum#* }"
  failed=1
fi

# Signed exactly when the build attached a signature, and then with that
# one, padded with zeros to a multiple of 8 bytes, and made for these bytes:
# the digest it signs, SHA-256 or longer as the signer chose, must be that
# of the file less the checksum, the certificate table's entry among the
# 64-bit header's data directories (the fifth) and the table itself.
directory_at=$((header_at + 168))
table_at=$(word32 "$exe" $directory_at)
table_size=$(word32 "$exe" $((directory_at + 4)))
if [ -f "$release.signature" ] && [ "$table_size" = 0 ]; then
  echo "unsigned, though the build attached $release.signature" && failed=1
elif [ -f "$release.signature" ]; then
  hex() { od -An -v -tx1 | tr -d ' \n'; }
  attached=$(tail -c +$((table_at + 9)) "$exe" |
    head -c $(($(word32 "$exe" "$table_at") - 8)) | hex)
  given=$(openssl pkcs7 -in "$release.signature" -outform DER | hex)
  padding=${attached#"$given"}
  signed_bytes() {
    head -c $checksum_at "$exe"
    tail -c +$((checksum_at + 5)) "$exe" |
      head -c $((directory_at - checksum_at - 4))
    tail -c +$((directory_at + 9)) "$exe" |
      head -c $((table_at - directory_at - 8))
  }
  made_for=
  # Each digest as the signature holds it: an OCTET STRING of its length.
  for digest in sha256:0420 sha384:0430 sha512:0440; do
    sum=$(signed_bytes | "${digest%:*}sum" | cut -d ' ' -f 1)
    [ "${given#*"${digest#*:}$sum"}" = "$given" ] || made_for="${digest%:*} $sum"
  done
  if [ "$padding" = "$attached" ] || [ -n "$(echo "$padding" | tr -d 0)" ]; then
    echo "signed, but not with $release.signature" && failed=1
  elif [ -z "$made_for" ]; then
    echo "$release.signature was not made for these bytes: it holds no digest of them"
    failed=1
  else
    echo "signed with $release.signature, made for $made_for"
  fi
elif [ "$table_size" != 0 ]; then
  echo "signed, though the build attached no signature" && failed=1
fi

# Only DLLs that every Windows has. A user without libstdc++-6.dll and the
# like would get a "DLL not found" dialog and nothing else.
dlls=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
echo "imports:" $dlls
case $dlls in *KERNEL32.dll*) ;; *) echo "no KERNEL32.dll import" && failed=1 ;; esac
for dll in $dlls; do
  case $dll in
  KERNEL32.dll | msvcrt.dll | api-ms-win-crt-*.dll) ;;
  *) echo "imports $dll, which Windows does not ship" && failed=1 ;;
  esac
done

numeric=$(echo "$version" | sed 's/\./, /g')
resource=$("$windres" -i "$exe" -O rc | sed 's/^[[:space:]]*//')
for line in \
  "FILEVERSION $numeric, 0" \
  "PRODUCTVERSION $numeric, 0" \
  "VALUE \"FileVersion\", \"$version\"" \
  "VALUE \"ProductVersion\", \"$version\"" \
  'VALUE "ProductName", "veltrin-backend"' \
  'VALUE "InternalName", "veltrin-backend"' \
  'VALUE "OriginalFilename", "veltrin-backend.exe"'; do
  if ! printf '%s\n' "$resource" | grep -qxF "$line"; then
    echo "version resource lacks: $line" && failed=1
  fi
done
if ! printf '%s\n' "$resource" | grep -q '^VALUE "FileDescription", "[^"]'; then
  echo "version resource lacks a FileDescription" && failed=1
fi

# Each toolchain library that the link took code from must be named in the
# notices shipped beside the exe.
libraries=$(sed -n 's|^\(/[^(]*\.a\)(.*|\1|p' "$map" | sort -u)
[ -n "$libraries" ] || { echo "$map names no library" && failed=1; }
for library in $libraries; do
  if ! grep -qF "/${library##*/}(" "$notices"; then
    echo "$notices does not cover ${library##*/}" && failed=1
  fi
done
exit $failed
