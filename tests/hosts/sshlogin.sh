#!/usr/bin/env bash
# The README's many-hosts recipe, tried for real: GNU parallel sends twenty scores (the tenth cut
# short) over ssh to a second "host", an sshd on 127.0.0.1 with a user, a home and keys of its own
# and quillbraid on its PATH, and brings the results and backups back. The broken score must be
# listed and left as it was, and nothing may stay on the host. Needs root (a user, an sshd); where
# that cannot be done it fails and says why (QB_SKIP=hosts skips it knowingly).
#   tests/hosts/sshlogin.sh PATH_TO_QUILLBRAID
set -uo pipefail
program=$(realpath "${1:?usage: tests/hosts/sshlogin.sh PATH_TO_QUILLBRAID}")
root=$(cd "$(dirname "$0")/../.." && pwd)
user=qbhost dir=$(mktemp -d /tmp/qb-hosts.XXXXXX) sshd=
cannot() { echo "many-hosts check FAILED, it cannot run: $* (QB_SKIP=hosts skips it knowingly)" && exit 1; }
failed() { echo "many-hosts check FAILED: $*" && exit 1; }
trap '[ -n "$sshd" ] && kill $sshd; id $user >/dev/null 2>&1 && userdel -r $user 2>/dev/null; rm -rf "$dir"' EXIT
[ "$(id -u)" = 0 ] || cannot "a user and an sshd of its own need root"
"$root/scripts/ensure-tools.sh" openssh-server openssh-client rsync parallel >/dev/null ||
  cannot "openssh-server, rsync and parallel are not installed"

# The host: a user whose password nothing matches ("*"; a locked one, "!", sshd lets in by no
# means), a home the test user reaches through $dir alone, quillbraid on its PATH, keys made here.
chmod 711 "$dir"
id $user >/dev/null 2>&1 && userdel -r $user 2>/dev/null
useradd --create-home --home-dir "$dir/home" --shell /bin/bash --password '*' $user || cannot "useradd failed"
home=$dir/home
install -D -m 755 "$program" "$home/bin/quillbraid"
ssh-keygen -q -t ed25519 -N '' -f "$dir/key" && ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key" ||
  cannot "ssh-keygen failed"
install -D -m 600 "$dir/key.pub" "$home/.ssh/authorized_keys"
echo "PATH=$home/bin:/usr/bin:/bin" >"$home/.ssh/environment"
chown -R $user: "$home/bin" "$home/.ssh" && chmod 700 "$home/.ssh"
before=$(cd "$home" && find . | sort)
port=$(for p in 2222 22222 32222; do (echo >/dev/tcp/127.0.0.1/$p) 2>/dev/null || { echo $p && break; }; done)
[ -n "$port" ] || cannot "no free port for sshd"
printf '%s\n' "ListenAddress 127.0.0.1" "Port $port" "HostKey $dir/host_key" "PidFile $dir/sshd.pid" \
  "PasswordAuthentication no" "UsePAM no" "PermitUserEnvironment PATH" "AllowUsers $user" >"$dir/sshd_config"
mkdir -p /run/sshd
/usr/sbin/sshd -D -e -f "$dir/sshd_config" 2>"$dir/sshd.log" &
sshd=$!
ssh="ssh -p $port -i $dir/key -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR"
for _ in $(seq 50); do $ssh $user@127.0.0.1 quillbraid --version >/dev/null 2>&1 && break || sleep 0.1; done
$ssh $user@127.0.0.1 quillbraid --version >/dev/null 2>&1 || { cat "$dir/sshd.log"; cannot "sshd did not let the test user in"; }

# The library, and what a run here gives for each score.
mkdir -p "$dir/library" "$dir/original" "$dir/expected" && cd "$dir/library" || exit 1
for k in $(seq -w 1 20); do
  sed "s|<work-title>[^<]*<|<work-title>Score $k<|" "$root/examples/sonatina.xml" >score$k.xml
  echo "STAVESUP=1,PART=3,INSTR=,2,3,/" >score$k.xml.groups
done
head -c 4000 score10.xml >cut && mv cut score10.xml
cp ./*.xml "$dir/original/" && cp ./*.xml "$dir/expected/"
for k in $(seq -w 1 20); do
  (cd "$dir/expected" && "$program" "CALLEDBY=ORVANTIDE,FILE=score$k.xml/$(cat "$dir/library/score$k.xml.groups")" </dev/null >/dev/null 2>&1)
done

# The README's recipe, spread over the host.
start=$EPOCHREALTIME
# shellcheck disable=SC2016
parallel --jobs 2 --tag --joblog batch.log --ssh "$ssh" --sshlogin $user@127.0.0.1 \
  --transferfile {} --transferfile {}.groups --return {} --return {}org --cleanup \
  'w=$(mktemp -d qb.XXXXXX) && cd "$w" && quillbraid CALLEDBY=ORVANTIDE,FILE=..\\{}/"$(cat ../{}.groups)" </dev/null; s=$?; cd .. && rm -rf "$w"; exit $s # {}' \
  ::: *.xml >"$dir/output" 2>&1
status=$?
seconds=$(echo "$EPOCHREALTIME - $start" | bc)

[ "$status" = 1 ] || { cat "$dir/output"; failed "parallel's status is $status, not 1 (one score failed)"; }
listed=$(awk -F'\t' 'NR > 1 && $7 != 0 { sub(/.*# /, "", $NF); print $NF }' batch.log)
[ "$listed" = score10.xml ] || failed "the failed scores listed are '$listed', not score10.xml"
cmp -s score10.xml "$dir/original/score10.xml" && [ ! -e score10.xmlorg ] || failed "the failed score was changed"
for k in $(seq -w 1 20); do
  [ "$k" = 10 ] && continue
  cmp -s score$k.xml "$dir/expected/score$k.xml" || failed "score$k.xml came back other than merged"
  cmp -s score$k.xmlorg "$dir/original/score$k.xml" || failed "score$k.xmlorg is not the original"
done
after=$(cd "$home" && find . | sort | grep -v '^\./\.parallel')
[ "$before" = "$after" ] || failed "the host kept files: $(comm -13 <(echo "$before") <(echo "$after") | tr '\n' ' ')"
echo "many hosts: 20 scores over ssh to 127.0.0.1 in $seconds s; 19 merged and back with their backups, the broken one listed and left as it was, nothing left on the host"
