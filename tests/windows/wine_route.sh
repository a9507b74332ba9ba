# Sourced: how this machine runs wine32's i386 programs.
#
#   wine_route_select PROBE_DIR   sets WINE_ROUTE to native or qemu, or
#                                 returns 1 with the reason in WINE_ROUTE_WHY
#   wine_route_release            takes back a registration made here
#
# native: the kernel runs i386 code itself. qemu: it does not (a kernel booted
# with ia32_emulation=off), so qemu-user-static is registered with
# binfmt_misc for i386 ELF programs, under the project's own name, and
# released again when the suite ends. A binfmt_misc entry is matched before
# the kernel's own ELF loader, so the entry would also catch i386 programs
# that run natively: it is made only when needed, or when forced with
# ROVOD_WINE_ROUTE=qemu (to measure that route on a machine that needs none).

WINE_ROUTE=
WINE_ROUTE_WHY=
wine_route_entry=
wine_route_fs=/proc/sys/fs/binfmt_misc
wine_route_name=rovod-qemu-i386
wine_route_qemu=/usr/bin/qemu-i386-static
# The i386 ELF magic and mask qemu's binfmt set-up uses: class 32-bit,
# little-endian, executable or shared object, machine 3.
wine_route_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
wine_route_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# Enabled binfmt_misc entries, other than ours, that take i386 ELF programs.
wine_route_foreign() {
  local f
  for f in "$wine_route_fs"/*; do
    [ -f "$f" ] || continue
    case ${f##*/} in register | status | "$wine_route_name") continue ;; esac
    grep -qx enabled "$f" && grep -q '^magic 7f454c46010101000000000000000000020003' "$f" && echo "$f"
  done
  return 0
}

wine_route_release() {
  [ -n "$wine_route_entry" ] || return 0
  [ -f "$wine_route_entry" ] && echo -1 >"$wine_route_entry"
  wine_route_entry=
}

wine_route_register() {
  if [ "$(id -u)" != 0 ]; then
    WINE_ROUTE_WHY="registering qemu-i386 with binfmt_misc needs root"
    return 1
  fi
  if [ ! -x "$wine_route_qemu" ]; then
    WINE_ROUTE_WHY="$wine_route_qemu is missing (Debian package qemu-user-static)"
    return 1
  fi
  if [ ! -f "$wine_route_fs/register" ] &&
    ! mount -t binfmt_misc binfmt_misc "$wine_route_fs" 2>/dev/null; then
    WINE_ROUTE_WHY="binfmt_misc is not mounted and cannot be mounted on $wine_route_fs"
    return 1
  fi
  if ! printf ':%s:M::%s:%s:%s:F\n' "$wine_route_name" "$wine_route_magic" "$wine_route_mask" \
    "$wine_route_qemu" >"$wine_route_fs/register" 2>/dev/null; then
    WINE_ROUTE_WHY="binfmt_misc refused the qemu-i386 entry"
    return 1
  fi
  wine_route_entry=$wine_route_fs/$wine_route_name
}

wine_route_select() {
  local dir=$1 probe want=${ROVOD_WINE_ROUTE:-auto} foreign
  probe=$dir/i386-probe
  mkdir -p "$dir"
  if ! printf 'int main(void) { return 0; }\n' | gcc -m32 -x c -o "$probe" - 2>/dev/null; then
    WINE_ROUTE_WHY="gcc -m32 cannot build the i386 probe (Debian package gcc-multilib)"
    return 1
  fi
  # One left behind by an interrupted run would pass for the native route.
  [ -f "$wine_route_fs/$wine_route_name" ] && echo -1 >"$wine_route_fs/$wine_route_name"
  foreign=$(wine_route_foreign)
  case $want in
    auto | native)
      if [ -z "$foreign" ] && "$probe" 2>/dev/null; then
        WINE_ROUTE=native
        return 0
      fi
      if [ $want = native ]; then
        WINE_ROUTE_WHY="the kernel runs no i386 program itself${foreign:+ (taken by $foreign)}"
        return 1
      fi
      ;;
    qemu) ;;
    *)
      WINE_ROUTE_WHY="ROVOD_WINE_ROUTE=$want: use auto, native or qemu"
      return 1
      ;;
  esac
  if [ -n "$foreign" ] && [ $want = auto ]; then
    # Someone else's qemu registration already carries i386 programs.
    "$probe" 2>/dev/null && { WINE_ROUTE=qemu && return 0; }
  fi
  wine_route_register || return 1
  if ! "$probe" 2>/dev/null; then
    wine_route_release
    WINE_ROUTE_WHY="the i386 probe does not run through $wine_route_qemu either"
    return 1
  fi
  WINE_ROUTE=qemu
}
