#!/usr/bin/env bash
# The dynamic symbol table of one of the project's libraries holds its designed interface and
# nothing else: internals (helper classes, the standard library's template instances) never
# leak into the ABI.
#   exported_symbols.sh <platform|lumora|tavrel> <library file>
set -euo pipefail
library=$1 file=$2
command -v nm >/dev/null || { echo "nm is not installed"; exit 77; }

# One demangled name per line: "nm -D" prints "<value> <type> <name>".
symbols=$(nm -D --defined-only -C "$file" | sed -E 's/^[0-9a-f]* +[A-Za-z] //' | sort -u)
[ -n "$symbols" ] || { echo "FAIL: $file exports nothing"; exit 1; }

case $library in
  lumora)
    allowed='^CVideo::'
    required=('CVideo::Open(int, char const*, int)' 'CVideo::CVideo()' 'CVideo::GetCurrentImage(unsigned char*, int)')
    ;;
  tavrel)
    allowed='^(CTavrel::|(typeinfo|typeinfo name|vtable) for CTavrel$)'
    required=('CTavrel::OpenServer(int, int, int, int)' 'CTavrel::OpenClient(char const*, int)' 'vtable for CTavrel')
    ;;
  platform)
    # The Windows-style C functions (plain names, no scope) and namespace platform.
    allowed='^([A-Za-z_][A-Za-z0-9_]*|platform::.*)$'
    required=('CoCreateInstance' 'GetPrivateProfileStringA')
    ;;
  *) echo "unknown library $library"; exit 2 ;;
esac

status=0
leaked=$(grep -Ev "$allowed" <<<"$symbols" || true)
if [ -n "$leaked" ]; then
  echo "FAIL: $file exports symbols outside its interface:"
  sed 's/^/  /' <<<"$leaked"
  status=1
fi
# A C function of the platform is no mangled C++ name in disguise.
if [ "$library" = platform ] && grep -E '^_Z' <<<"$symbols"; then
  echo "FAIL: undemangled C++ names exported"; status=1
fi
for name in "${required[@]}"; do
  grep -Fxq "$name" <<<"$symbols" || { echo "FAIL: $name is not exported"; status=1; }
done
[ $status -eq 0 ] && echo "ok: $(wc -l <<<"$symbols") symbols, all in the interface of $library"
exit $status
