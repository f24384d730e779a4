# start_headless_sway FOLDER [CONFIG LINE...]: a headless sway with one
# 1280x800 output, in the runtime folder FOLDER (run as nobody when this is
# root, as sway wants), and the variables its clients need exported. Its
# process is in $sway_pid. Sourced by the tests' shell scripts.
start_headless_sway() {
  local runtime=$1 as_sway=() line
  shift
  if [ "$(id -u)" -eq 0 ]; then
    chown nobody:nogroup "$runtime"
    as_sway=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  fi
  {
    echo 'output HEADLESS-1 mode 1280x800 position 0 0'
    echo 'xwayland disable'
    for line in "$@"; do echo "$line"; done
    echo "exec touch $runtime/ready"
  } >"$runtime/config"
  XDG_RUNTIME_DIR=$runtime WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    HOME=$runtime "${as_sway[@]}" sway -c "$runtime/config" >/dev/null 2>&1 &
  sway_pid=$!
  for _ in $(seq 400); do [ -e "$runtime/ready" ] && break; sleep 0.05; done
  export XDG_RUNTIME_DIR=$runtime
  WAYLAND_DISPLAY=$(cd "$runtime" && ls wayland-* | grep -v lock | head -n 1)
  export WAYLAND_DISPLAY
}
