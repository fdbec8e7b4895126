#!/usr/bin/env bash
# The README's many-hosts recipe, tried for real: GNU parallel sends twenty scores (one of them
# broken) over ssh to a second "host", an sshd on 127.0.0.1 with a user, a home and keys of its
# own and quillbraid on its PATH, and brings the results and backups back. The broken score must
# be listed and left as it was, and nothing may remain on the host. Needs root (a user, an sshd);
# a machine where that cannot be done fails here and says why (QB_SKIP=hosts skips it knowingly).
#
#   tests/hosts/sshlogin.sh PATH_TO_QUILLBRAID
set -uo pipefail
program=$(realpath "${1:?usage: tests/hosts/sshlogin.sh PATH_TO_QUILLBRAID}")
root=$(cd "$(dirname "$0")/../.." && pwd)
user=qbhost
dir=$(mktemp -d /tmp/qb-hosts.XXXXXX)
sshd_pid=
cannot() {
  echo "many-hosts check FAILED, it cannot run: $* (QB_SKIP=hosts skips it knowingly)"
  exit 1
}
failed() {
  echo "many-hosts check FAILED: $*"
  exit 1
}
cleanup() {
  [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null
  id "$user" >/dev/null 2>&1 && userdel -r "$user" >/dev/null 2>&1
  rm -rf "$dir"
}
trap cleanup EXIT

[ "$(id -u)" = 0 ] || cannot "a user and an sshd of its own need root"
chmod 711 "$dir"  # the host user passes through to its home, and sees nothing else
"$root/scripts/ensure-tools.sh" openssh-server openssh-client rsync parallel >/dev/null ||
  cannot "openssh-server, rsync and parallel are not installed"

# --- The host: a user with a home, quillbraid on its PATH, keys made here --------------------------
id "$user" >/dev/null 2>&1 && userdel -r "$user" >/dev/null 2>&1
# Without a password ("*", which no password matches) rather than locked ("!"): sshd lets a
# locked account in by no means, a key included.
useradd --create-home --home-dir "$dir/home" --shell /bin/bash --password '*' "$user" ||
  cannot "useradd failed"
home=$dir/home
install -D -m 755 "$program" "$home/bin/quillbraid"
ssh-keygen -q -t ed25519 -N '' -f "$dir/client_key" && ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key" ||
  cannot "ssh-keygen failed"
install -D -m 600 "$dir/client_key.pub" "$home/.ssh/authorized_keys"
echo "PATH=$home/bin:/usr/local/bin:/usr/bin:/bin" >"$home/.ssh/environment"
chown -R "$user:" "$home/bin" "$home/.ssh"
chmod 700 "$home/.ssh"
before=$(cd "$home" && find . | sort)

port=
for candidate in 2222 22222 32222 42222; do
  if ! (echo >"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then port=$candidate && break; fi
done
[ -n "$port" ] || cannot "no free port for sshd"
cat >"$dir/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $dir/host_key
PidFile $dir/sshd.pid
AuthorizedKeysFile .ssh/authorized_keys
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
PermitUserEnvironment PATH
AllowUsers $user
EOF
mkdir -p /run/sshd
/usr/sbin/sshd -D -e -f "$dir/sshd_config" 2>"$dir/sshd.log" &
sshd_pid=$!
ssh_command="ssh -p $port -i $dir/client_key -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR"
for _ in $(seq 50); do
  $ssh_command "$user@127.0.0.1" true 2>/dev/null && break
  sleep 0.1
done
$ssh_command "$user@127.0.0.1" 'quillbraid --version' >/dev/null 2>&1 ||
  { cat "$dir/sshd.log"; cannot "sshd on 127.0.0.1:$port did not let the test user in"; }

# --- The library: twenty scores, the tenth cut short -----------------------------------------------
mkdir -p "$dir/library" "$dir/original" "$dir/expected"
cd "$dir/library"
for k in $(seq -w 1 20); do
  sed "s|<work-title>[^<]*</work-title>|<work-title>Score $k</work-title>|" \
    "$root/examples/sonatina.xml" >"score$k.xml"
  echo "STAVESUP=1,PART=3,INSTR=,2,3,/" >"score$k.xml.groups"
done
head -c 4000 "score10.xml" >cut && mv cut "score10.xml"
cp ./*.xml "$dir/original/"
for k in $(seq -w 1 20); do  # what a run here gives, to compare with what comes back
  groups=$(cat "score$k.xml.groups")
  work=$(mktemp -d) && cp "score$k.xml" "$work/" &&
    (cd "$work" && "$program" "CALLEDBY=ORVANTIDE,FILE=score$k.xml/$groups" </dev/null >/dev/null 2>&1)
  cp "$work/score$k.xml" "$dir/expected/"
  rm -rf "$work"
done

# --- The README's recipe, spread over the host ----------------------------------------------------
start=$EPOCHREALTIME
# shellcheck disable=SC2016
parallel --jobs 2 --tag --joblog batch.log --ssh "$ssh_command" --sshlogin "$user@127.0.0.1" \
  --transferfile {} --transferfile {}.groups --return {} --return {}org --cleanup \
  'w=$(mktemp -d qb.XXXXXX) && cd "$w" && quillbraid CALLEDBY=ORVANTIDE,FILE=..\\{}/"$(cat ../{}.groups)" </dev/null; s=$?; cd .. && rm -rf "$w"; exit $s # {}' \
  ::: *.xml >"$dir/output" 2>&1
status=$?
seconds=$(echo "$EPOCHREALTIME - $start" | bc)

# --- What came back, and what stayed ----------------------------------------------------------------
[ "$status" = 1 ] || { cat "$dir/output"; failed "parallel's status is $status, not 1 (one score failed)"; }
listed=$(awk -F'\t' 'NR > 1 && $7 != 0 { sub(/.*# /, "", $NF); print $NF }' batch.log)
[ "$listed" = score10.xml ] || failed "the failed scores listed are '$listed', not score10.xml"
cmp -s "score10.xml" "$dir/original/score10.xml" || failed "the failed score was changed"
[ ! -e "score10.xmlorg" ] || failed "the failed score got a backup"
for k in $(seq -w 1 20); do
  [ "$k" = 10 ] && continue
  cmp -s "score$k.xml" "$dir/expected/score$k.xml" || failed "score$k.xml came back other than merged"
  cmp -s "score$k.xmlorg" "$dir/original/score$k.xml" || failed "score$k.xmlorg is not the original"
done
after=$(cd "$home" && find . | sort | grep -v '^\./\.parallel')
[ "$before" = "$after" ] ||
  failed "the host kept files: $(comm -13 <(echo "$before") <(echo "$after") | tr '\n' ' ')"
echo "many hosts: 20 scores over ssh to 127.0.0.1 in $seconds s; 19 merged and back with their backups, the broken one listed and left as it was, nothing left on the host"
