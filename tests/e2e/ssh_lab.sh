# Shared by tests/e2e/batch_ssh_test.sh and bench/batch_bench.sh (sourced): an OpenSSH server on the loopback
# address, with its own port, host key and user key, for GNU parallel's --sshlogin. The connections of a
# batch go through one master connection: a job makes half a dozen (sending, running, returning, removing).

# ssh_lab DIR: starts sshd in the foreground of a background job, its config and keys in DIR (a new folder),
# and waits until it takes the key. Then "lab" is this host for $ssh_command (ssh with the config in DIR) and
# stop_ssh_lab stops the server. Non-zero with $ssh_reason when the server cannot start or take the key.
ssh_lab() {
    local dir=$1 sshd port
    ssh_reason=
    sshd=$(PATH=$PATH:/usr/sbin:/sbin command -v sshd) || { ssh_reason="no sshd (install openssh-server)"; return 1; }
    mkdir -p "$dir" || { ssh_reason="cannot make $dir"; return 1; }
    ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key" && ssh-keygen -q -t ed25519 -N '' -f "$dir/user_key" ||
        { ssh_reason="ssh-keygen cannot make the keys"; return 1; }
    cp "$dir/user_key.pub" "$dir/authorized_keys"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >"$dir/sshd_config" <<CONFIG
Port $port
ListenAddress 127.0.0.1
HostKey $dir/host_key
PidFile $dir/sshd.pid
AuthorizedKeysFile $dir/authorized_keys
PermitRootLogin prohibit-password
StrictModes no
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
LogLevel ERROR
CONFIG
    cat >"$dir/ssh_config" <<CONFIG
Host lab
    HostName 127.0.0.1
    Port $port
    User $(id -un)
    IdentityFile $dir/user_key
    IdentitiesOnly yes
    UserKnownHostsFile $dir/known_hosts
    StrictHostKeyChecking no
    BatchMode yes
    LogLevel ERROR
    ControlMaster auto
    ControlPath $dir/control-%C
    ControlPersist 120
CONFIG
    # sshd wants its privilege separation folder, which the package's service makes when it starts.
    [ -d /run/sshd ] || [ "$(id -u)" != 0 ] || mkdir -p -m 0755 /run/sshd
    ssh_reason=$("$sshd" -t -f "$dir/sshd_config" 2>&1) || { ssh_reason="sshd cannot start here: $ssh_reason"; return 1; }
    "$sshd" -D -f "$dir/sshd_config" -E "$dir/sshd.log" &
    ssh_lab_pid=$!
    ssh_command="ssh -F $dir/ssh_config"
    local try
    for try in $(seq 1 50); do
        $ssh_command lab true 2>/dev/null && return 0
        kill -0 "$ssh_lab_pid" 2>/dev/null || break
        sleep 0.2
    done
    ssh_reason="the server does not take the key: $($ssh_command lab true 2>&1) $(cat "$dir/sshd.log" 2>/dev/null)"
    stop_ssh_lab
    return 1
}

stop_ssh_lab() {
    [ -n "${ssh_lab_pid:-}" ] || return 0
    $ssh_command -O exit lab 2>/dev/null
    kill "$ssh_lab_pid" 2>/dev/null
    wait "$ssh_lab_pid" 2>/dev/null
    ssh_lab_pid=
}
