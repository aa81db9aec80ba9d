# Real pairs of program files from the Debian archive, shared by the benchmarks under bench/.
# Sourced, not run: the caller sets WORK (downloads go to $WORK/debs, pairs to $WORK/pairs).

# The folder of the packages' shared libraries, usr/lib/<multiarch triplet> of this machine, whose
# packages apt-get downloads.
deb_libdir=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# The two newest versions of a Debian package that the archive still offers.
two_versions() {
  apt-cache madison "$1" | awk '{print $3}' | awk '!seen[$0]++' | head -2
}

# deb_pair NAME PACKAGE PATH-IN-PACKAGE [OLD-VERSION NEW-VERSION]: one file of the package, in
# its two newest versions or the two given. With PATH "-" the pair is the package's whole
# uncompressed file tree (its data tar).
deb_pair() {
  local name=$1 pkg=$2 path=$3
  [ -s "$WORK/pairs/$name.old" ] && [ -s "$WORK/pairs/$name.new" ] && return 0
  if [ $# -ge 5 ]; then
    vers=("$5" "$4")
  else
    mapfile -t vers < <(two_versions "$pkg")
  fi
  if [ ${#vers[@]} -lt 2 ]; then
    echo "skip $name: the archive has fewer than two versions of $pkg" >&2
    return 1
  fi
  local i=0
  for v in "${vers[1]}" "${vers[0]}"; do  # older first
    local side=old
    [ $i -eq 1 ] && side=new
    i=$((i + 1))
    (cd "$WORK/debs" && apt-get download -q "$pkg=$v" >/dev/null 2>&1) || {
      echo "skip $name: cannot download $pkg=$v" >&2
      return 1
    }
    local deb
    deb=$(ls -t "$WORK"/debs/"${pkg}"_*"${v#*:}"_*.deb | head -1)
    if [ "$path" = "-" ]; then
      dpkg-deb --fsys-tarfile "$deb" >"$WORK/pairs/$name.$side"
    else
      rm -rf "$WORK/x" && mkdir -p "$WORK/x" && dpkg-deb -x "$deb" "$WORK/x"
      cp "$WORK/x/$path" "$WORK/pairs/$name.$side"
    fi
    echo "$name.$side: $pkg $v" >>"$WORK/pairs/versions.txt"
  done
}
