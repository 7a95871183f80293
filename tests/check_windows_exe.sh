#!/bin/sh
# Checks what the Windows executable carries besides its behaviour: its
# headers, the DLLs it imports, its version resource, and the notices of the
# libraries linked into it.
#
# usage: check_windows_exe.sh EXE VERSION OBJDUMP WINDRES LINK-MAP NOTICES
set -eu

exe=$1 version=$2 objdump=$3 windres=$4 map=$5 notices=$6
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
  if ! grep -q "^  ${library##*/} " "$notices"; then
    echo "$notices does not cover ${library##*/}" && failed=1
  fi
done
exit $failed
