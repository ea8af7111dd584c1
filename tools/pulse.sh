# Sourced by the scripts that need a sound server without a sound card.
#
# start_pulse starts a PulseAudio of our own with one null sink ("null"; what
# it plays can be recorded from "null.monitor"), in a runtime directory under
# $tmp, so nothing is shared with a server of the machine's. It paces its
# clients in real time, as a desktop's sound server does. It exports what a
# client needs to reach it, XDG_RUNTIME_DIR and PULSE_SERVER, waits until
# `pactl info` answers and leaves its process id in $pulse (the caller stops
# it). Needs $tmp, a scratch directory; returns 1 with a message when
# PulseAudio is missing or does not come up.
start_pulse() {
  pulse=
  if ! command -v pulseaudio >/dev/null || ! command -v pactl >/dev/null; then
    echo "start_pulse: PulseAudio is not installed; install pulseaudio and pulseaudio-utils" \
         "(tools/deps.sh --test)" >&2
    return 1
  fi
  XDG_RUNTIME_DIR=$tmp/pulse-run
  PULSE_SERVER=unix:$XDG_RUNTIME_DIR/pulse/native
  mkdir -p "$XDG_RUNTIME_DIR" "$tmp/pulse-home"
  chmod 700 "$XDG_RUNTIME_DIR"
  export XDG_RUNTIME_DIR PULSE_SERVER
  # -n: none of the machine's default modules, only ours. As root it warns that
  # it is meant to run as a user and carries on; a home of its own keeps its
  # cookie out of the real one. Anonymous clients, so that a game run as
  # another user gets in too (the socket is still only reachable through $tmp).
  HOME=$tmp/pulse-home pulseaudio --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    --log-target=stderr -n -L module-null-sink \
    -L "module-native-protocol-unix auth-anonymous=1" >"$tmp/pulse.log" 2>&1 &
  pulse=$!
  t=0
  until pactl info >/dev/null 2>&1; do
    t=$((t + 1))
    if [ $t -gt 100 ] || ! kill -0 "$pulse" 2>/dev/null; then
      echo "start_pulse: PulseAudio did not come up:" >&2
      cat "$tmp/pulse.log" >&2
      kill "$pulse" 2>/dev/null || true
      return 1
    fi
    sleep 0.1
  done
}
