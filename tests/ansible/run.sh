#!/usr/bin/env bash
# The quorvel.registry collection on a local inventory of many hosts, each with a machine
# of its own: the example playbook applies once and then writes nothing, check mode shows
# the changes and writes nothing, a bad control fails its host only.
# Usage: run.sh QUORVEL QUORVEL_REG
set -euo pipefail

quorvel=$(realpath "$1")
quorvel_reg=$(realpath "$2")
src=$(cd "$(dirname "$0")/../.." && pwd)
collection=$src/contrib/ansible
playbook=$collection/examples/many-computers.yml
hosts=10

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Nothing of the user's: home, XDG folders and Ansible's own state all in the temp dir.
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data \
       XDG_STATE_HOME=$work/state XDG_CACHE_HOME=$work/cache XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_STATE_HOME" "$XDG_CACHE_HOME"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=offscreen PYTHONPYCACHEPREFIX=$work/pycache
export ANSIBLE_HOME=$work/ansible ANSIBLE_LOCAL_TEMP=$work/ansible/tmp \
       ANSIBLE_REMOTE_TEMP=$work/ansible/remote ANSIBLE_COLLECTIONS_PATH=$work/collections \
       ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_FORCE_COLOR=0
mkdir -p "$work/collections/ansible_collections/quorvel"
ln -s "$collection" "$work/collections/ansible_collections/quorvel/registry"
cd "$work"

echo "== the modules compile and their documentation renders"
python3 -m py_compile "$collection"/plugins/*/*.py
for module in settings machines_info; do
  ansible-doc "quorvel.registry.$module" >"doc-$module.txt" 2>&1 || { cat "doc-$module.txt"; fail "ansible-doc $module"; }
  grep -q "^> QUORVEL.REGISTRY.${module^^}" "doc-$module.txt" && grep -q '^- quorvel' "doc-$module.txt" \
    && grep -q '^EXAMPLES:' "doc-$module.txt" && grep -q '^RETURN VALUES:' "doc-$module.txt" \
    || { cat "doc-$module.txt"; fail "ansible-doc $module misses its sections"; }
done
grep -q '^= machine' doc-settings.txt || fail "ansible-doc settings: machine is not mandatory"

echo "== the README shows the playbook the test runs"
python3 - "$src/README.md" "$playbook" <<'EOF' || fail "README's many-computers playbook differs from $playbook"
import sys
readme, playbook = (open(p, encoding='utf-8').read() for p in sys.argv[1:])
sys.exit(0 if '```yaml\n' + playbook + '```\n' in readme else 1)
EOF

# Hosts 1..9 name their own machine in the inventory; the last finds its Steam Proton
# prefix as the playbook does when the inventory names none.
machine_of() { printf '%s/hosts/host%02d/machine' "$work" "$1"; }
proton=$HOME/.local/share/Steam/steamapps/compatdata/620/pfx
for i in $(seq 1 $hosts); do
  "$quorvel_reg" --machine "$(machine_of "$i")" query 'HKCU\Control Panel\Desktop' /v MenuShowDelay >/dev/null
done
mkdir -p "$proton"
mv "$(machine_of $hosts)"/*.reg "$proton/"
rm -rf "$(dirname "$(machine_of $hosts)")"
folder_of() { if [ "$1" = "$hosts" ]; then echo "$proton"; else machine_of "$1"; fi; }

inventory() {  # $1: extra host variables for every host, $2: for host03
  echo "all:"
  echo "  vars:"
  echo "    ansible_connection: local"
  echo "    ansible_python_interpreter: '{{ ansible_playbook_python }}'"
  echo "    quorvel_program: $quorvel"
  echo "  hosts:"
  for i in $(seq 1 $hosts); do
    printf '    host%02d:\n' "$i"
    if [ "$i" = "$hosts" ]; then
      echo "      anchor_machine: [--wine-prefix, $proton]"
    else
      echo "      quorvel_machines: [{path: $(machine_of "$i"), machine_kind: own}]"
      echo "      anchor_machine: [--machine, $(machine_of "$i")]"
    fi
    [ -n "$1" ] && echo "      quorvel_host_settings: {$1$([ "$i" = 3 ] && [ -n "$2" ] && echo ", $2")}"
  done
  return 0
}
inventory "" "" >hosts.yml

# Content and modification time of every file of every host's machine.
snapshot() {
  local i
  for i in $(seq 1 $hosts); do
    find "$(folder_of "$i")" -type f -printf '%p %T@ ' -exec sha256sum {} \;
  done | sort
}
recap() {  # host, field ("changed", "failed"), log: the number in the play recap
  awk -v h="$1" -v f="$2" '$1 == h && $2 == ":" {
    for (i = 3; i <= NF; i++) { split($i, a, "="); if (a[1] == f) print a[2] } }' "$3"
}
expect_recap() {  # log, field, value for every host but host03, value for host03
  local i host got want
  for i in $(seq 1 $hosts); do
    host=$(printf 'host%02d' "$i"); want=$3
    [ "$i" = 3 ] && want=$4
    got=$(recap "$host" "$2" "$1")
    [ "$got" = "$want" ] || { cat "$1"; fail "$1: $host $2=$got, expected $want"; }
  done
}
now() { date +%s.%N; }
per_host() { awk -v a="$1" -v b="$2" -v n=$hosts 'BEGIN { printf "%.3f", (b - a) / n }'; }

echo "== check mode with --diff shows before and after and writes nothing"
before=$(snapshot)
ansible-playbook -i hosts.yml "$playbook" --check --diff >check.log 2>&1 || { cat check.log; fail "check mode"; }
expect_recap check.log changed 1 1
for line in '-HKEY_CURRENT_USER\Control Panel\Desktop\MenuShowDelay = "400"' \
            '+HKEY_CURRENT_USER\Control Panel\Desktop\MenuShowDelay = "100"' \
            '+HKEY_CURRENT_USER\Control Panel\Mouse\DoubleClickSpeed = "350"' \
            '+HKEY_LOCAL_MACHINE\Software\Classes\*\shell\quorvel\(Default) = "Open with Notepad"'; do
  n=$(grep -cxF -- "$line" check.log || true)
  [ "$n" = "$hosts" ] || { cat check.log; fail "check mode shows '$line' $n times, not $hosts"; }
done
[ "$(snapshot)" = "$before" ] || fail "check mode changed a machine"

echo "== the first run changes every host"
start=$(now)
ansible-playbook -i hosts.yml "$playbook" >first.log 2>&1 || { cat first.log; fail "first run"; }
first=$(per_host "$start" "$(now)")
expect_recap first.log changed 1 1
for i in $(seq 1 $hosts); do
  folder=$(folder_of "$i")
  grep -qF '"MenuShowDelay"="100"' "$folder/user.reg" || fail "host $i: menu delay not in $folder/user.reg"
  grep -qF '"DoubleClickSpeed"="350"' "$folder/user.reg" || fail "host $i: the profile not in $folder/user.reg"
  grep -qF '[Software\\Classes\\*\\shell\\quorvel\\command]' "$folder/system.reg" \
    || fail "host $i: the command on all files not in $folder/system.reg"
  grep -qF '@="explorer.exe /e,/root,/idlist,%I"' "$folder/system.reg" \
    || fail "host $i: Explore From Here not in $folder/system.reg"
done

echo "== the second run changes nothing and writes no byte"
before=$(snapshot)
start=$(now)
ansible-playbook -i hosts.yml "$playbook" >second.log 2>&1 || { cat second.log; fail "second run"; }
second=$(per_host "$start" "$(now)")
expect_recap second.log changed 0 0
[ "$(snapshot)" = "$before" ] || fail "the second run wrote to a machine"

echo "== a bad control fails its host with Quorvel's message, the others apply"
inventory "sldMenuShowDelay: 200" "chkNoSuchControl: 1" >bad.yml
status=0
ansible-playbook -i bad.yml "$playbook" >bad.log 2>&1 || status=$?
[ "$status" != 0 ] || { cat bad.log; fail "a bad control name did not fail the play"; }
expect_recap bad.log failed 0 1
expect_recap bad.log changed 1 0
grep -qF "quorvel: unknown control 'chkNoSuchControl'" bad.log || { cat bad.log; fail "no Quorvel message"; }
for i in $(seq 1 $hosts); do
  want=200
  [ "$i" = 3 ] && want=100
  grep -qF "\"MenuShowDelay\"=\"$want\"" "$(folder_of "$i")/user.reg" || fail "host $i: menu delay is not $want"
done

echo "== anchor: one value per host with quorvel-reg"
cat >anchor.yml <<EOF
- name: One value per host with quorvel-reg
  hosts: all
  gather_facts: false
  tasks:
    - name: Menu delay
      ansible.builtin.command:
        argv: "{{ ['$quorvel_reg'] + anchor_machine + ['add', 'HKCU\\\\Control Panel\\\\Desktop', '/v', 'MenuShowDelay', '/d', '300', '/f'] }}"
EOF
start=$(now)
ansible-playbook -i hosts.yml anchor.yml >anchor.log 2>&1 || { cat anchor.log; fail "anchor play"; }
anchor=$(per_host "$start" "$(now)")
expect_recap anchor.log changed 1 1
grep -qF '"MenuShowDelay"="300"' "$(folder_of 1)/user.reg" || fail "the anchor play wrote nothing"

echo "seconds per host ($hosts hosts): first run $first, idempotent run $second, anchor (quorvel-reg add) $anchor"
echo "PASS"
