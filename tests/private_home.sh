# Sourced by the test, benchmark and screenshot scripts: points HOME, the XDG folders and the
# runtime folder into a throw-away folder, so that nothing they start reads or writes the real
# home folder (settings, logs, recordings, the sound server's socket, the user's systemd).
# Usage: private_home <folder>
private_home() {
    export HOME="$1/home"
    export XDG_CONFIG_HOME="$HOME/.config"
    export XDG_DATA_HOME="$HOME/.local/share"
    export XDG_CACHE_HOME="$HOME/.cache"
    export XDG_RUNTIME_DIR="$1/runtime"
    # Nor the user's session bus and service manager (schedule timers).
    unset DBUS_SESSION_BUS_ADDRESS
    # Nor the release site: the start-up update check asks a closed loopback port and stays silent.
    export TORVANE_UPDATE_URL="${TORVANE_UPDATE_URL:-http://127.0.0.1:9/version.txt}"
    mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
    chmod 700 "$XDG_RUNTIME_DIR"
}
