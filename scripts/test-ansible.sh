#!/usr/bin/env bash
# Tests the Ansible module and role in contrib/ansible: the report parser's
# unit tests, then the example rollout playbook over five local hosts, each a
# lab. Installs ansible-core from Debian when missing; exits 77 when it cannot
# be installed, so that CI can tell that apart from a failing test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if ! command -v ansible-playbook >/dev/null; then
    echo "Installing Debian's ansible-core..."
    if ! { $sudo apt-get update -q && $sudo apt-get install -y -q ansible-core; }; then
        echo "ansible-core could not be installed." >&2
        exit 77
    fi
fi

echo "== the report parser"
python3 -m unittest discover -s contrib/ansible/tests

build=${QS_RELEASE_BUILD_DIR:-build-release}
echo "== building qsupdate and qslab in $build (release build)"
scripts/build-release.sh --quiet qsupdate qslab
qslab=$root/$build/lab/qslab

work=$(mktemp -d)
# QS_KEEP_WORK=1 keeps the labs and the playbooks' output for a look.
trap '[ -n "${QS_KEEP_WORK:-}" ] && echo "kept $work" || rm -rf "$work"' EXIT
image=$work/mcfw-7.4.4.1000.bin
"$qslab" image --type 3 --subtype 37 --version 7.4.4.1000 -o "$image" >/dev/null

# lab1, lab3 and lab5 run 7.4.3.1008 and take the image; lab2 runs it
# already; lab4's controller firmware partition fails every write.
"$qslab" create "$work/lab1" --adapter dogwood2:2 >/dev/null
"$qslab" create "$work/lab2" --adapter dogwood2:2 --adapter birch:2 >/dev/null
"$qslab" run "$work/lab2" -- --write --yes --image="$image" >/dev/null 2>&1
"$qslab" create "$work/lab3" --adapter cedar:2 --adapter dogwood2:1 >/dev/null
"$qslab" create "$work/lab4" --adapter dogwood2:2 >/dev/null
"$qslab" fault "$work/lab4" --target a1-mcfw-25 --operation write --errno EIO >/dev/null
"$qslab" create "$work/lab5" --adapter dogwood2:2 >/dev/null

inventory=$work/inventory
{
    echo "[qsupdate_hosts]"
    for lab in lab1 lab2 lab3 lab4 lab5; do
        echo "$lab qsupdate_command=\"$qslab run $work/$lab --\" qsupdate_image_dest=$work/$lab/image.bin"
    done
    echo "[all:vars]"
    echo "ansible_connection=local"
    echo "ansible_python_interpreter=$(command -v python3)"
} >"$inventory"

export ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 ANSIBLE_RETRY_FILES_ENABLED=0
export ANSIBLE_LOCAL_TEMP=$work/ansible-local ANSIBLE_REMOTE_TEMP=$work/ansible-remote
export ANSIBLE_LIBRARY=$root/contrib/ansible/library
export ANSIBLE_HOST_KEY_CHECKING=0 ANSIBLE_DEPRECATION_WARNINGS=0

# Runs the rollout; its output goes to $work/NAME.out, its status to $work/NAME.rc.
rollout() {
    local name=$1
    shift
    local rc=0
    ansible-playbook -i "$inventory" contrib/ansible/rollout.yml \
        -e qsupdate_image_src="$image" "$@" >"$work/$name.out" 2>&1 || rc=$?
    echo "$rc" >"$work/$name.rc"
}

# Snapshots every lab's flash, to tell which labs a run wrote.
flash_sums() {
    for lab in lab1 lab2 lab3 lab4 lab5; do
        echo "$lab $(cat "$work/$lab"/flash/*.bin | sha256sum | cut -d' ' -f1)"
    done >"$work/$1.sums"
}

echo "== check mode"
flash_sums before-check
rollout check --check
flash_sums after-check

echo "== first rollout (stops at lab4)"
rollout first
flash_sums after-first

echo "== second rollout after lab4's fault is mended"
"$qslab" fault "$work/lab4" --clear >/dev/null
flash_sums before-second
rollout second
flash_sums after-second

echo "== the module's facts against the labs"
cat >"$work/facts.yml" <<'EOF'
- hosts: qsupdate_hosts
  gather_facts: false
  tasks:
    - qsupdate:
        command: "{{ qsupdate_command }}"
      register: report
    - copy:
        content: "{{ report.ports | to_json }}"
        dest: "{{ qsupdate_image_dest | dirname }}/facts.json"
EOF
ansible-playbook -i "$inventory" "$work/facts.yml" >"$work/facts.out" 2>&1 ||
    { cat "$work/facts.out"; echo "The facts playbook failed." >&2; exit 1; }
for lab in lab1 lab2 lab3 lab4 lab5; do
    "$qslab" show "$work/$lab" >"$work/$lab/show.txt"
done

status=0
python3 - "$work" <<'EOF' || status=$?
import json, re, sys

work = sys.argv[1]
labs = ['lab1', 'lab2', 'lab3', 'lab4', 'lab5']
failures = []
passed = 0


def check(what, condition, detail=''):
    global passed
    if condition:
        passed += 1
    else:
        failures.append(('%s %s' % (what, detail))[:400])


def results(name):
    """The rollout's status per host of the update task, from the default output."""
    task, found = None, {}
    for line in open('%s/%s.out' % (work, name)):
        heading = re.match(r'^TASK \[(.*)\] \*', line)
        if heading:
            task = heading.group(1)
            continue
        if task != "qsupdate : Update the adapters' firmware":
            continue
        match = re.match(r'^(ok|changed|fatal): \[(\w+)\](?:: FAILED! => (.*))?$', line.rstrip())
        if match:
            found[match.group(2)] = (match.group(1), json.loads(match.group(3) or '{}'))
    return found


def sums(name):
    return dict(line.split() for line in open('%s/%s.sums' % (work, name)))


def rc(name):
    return int(open('%s/%s.rc' % (work, name)).read())


def show(lab):
    """Per interface: MAC, family version and installed versions, from qslab show."""
    ports, adapter_ports, config, config_port = {}, [], None, None
    kinds = {'controller firmware': 'controller', 'boot ROM': 'bootrom', 'UEFI ROM': 'uefi',
             'bundle': 'bundle', 'micro-controller firmware': 'mum', 'FPGA bitfile': 'fpga',
             'diagnostic FPGA bitfile': 'fpga_diag', 'KVE firmware': 'kve',
             'CPLD bitfile': 'cpld'}
    for line in open('%s/%s/show.txt' % (work, lab)):
        line = line.rstrip('\n')
        if line.startswith('Adapter '):
            adapter_ports = []
        port = re.match(r'^  (\d+)\s+(\S+)\s+([0-9A-F:]{17})\s', line)
        if port:
            adapter_ports.append(port.group(2))
            ports[port.group(2)] = {'mac': port.group(3).replace(':', '-'),
                                    'family': None, 'firmware': {}}
            continue
        cfg = re.match(r'^    a\d+-dynamic-cfg-00(?:-p(\d+))?: ', line)
        if cfg:
            config = adapter_ports
            config_port = int(cfg.group(1)) if cfg.group(1) else None
            continue
        if re.match(r'^    \S', line):
            config = None
            continue
        if config is None or not line.startswith('      '):
            continue
        entry = line.strip()
        owners = [config[config_port]] if config_port is not None else config
        vpd = re.match(r'^(?:port (\d+) )?VPD: family (\S+?);?(?: |$)', entry)
        if vpd:
            if vpd.group(1) is not None:
                owners = [config[int(vpd.group(1))]]
            for owner in owners:
                ports[owner]['family'] = None if vpd.group(2) == 'none' else vpd.group(2)
            continue
        version = re.match(r'^(.+?) (\d+\.\d+\.\d+\.\d+), subtype', entry)
        if version:
            name = version.group(1)
            kind = 'phy' if name.startswith('PHY firmware of port') else kinds.get(name, name)
            for owner in owners:
                ports[owner]['firmware'][kind] = version.group(2)
    return ports


check_mode = results('check')
check('check mode: exit status', rc('check') == 0, rc('check'))
check('check mode: would change', {h for h, r in check_mode.items() if r[0] == 'changed'}
      == {'lab1', 'lab3', 'lab4', 'lab5'}, check_mode)
check('check mode: lab2 is current', check_mode.get('lab2', ('',))[0] == 'ok', check_mode)
check('check mode: no lab written', sums('before-check') == sums('after-check'))

first = results('first')
check('first run: exit status', rc('first') != 0, rc('first'))
check('first run: outcome per host',
      {h: r[0] for h, r in first.items()} ==
      {'lab1': 'changed', 'lab2': 'ok', 'lab3': 'changed', 'lab4': 'fatal'}, first)
failure = first.get('lab4', ('', {}))[1]
check('first run: qsupdate\'s message and status',
      'Could not write new controller firmware image' in failure.get('msg', '')
      and failure.get('rc') == 1, failure)
written = {lab for lab in labs if sums('after-check')[lab] != sums('after-first')[lab]}
check('first run: labs written', written == {'lab1', 'lab3', 'lab4'}, written)

second = results('second')
check('second run: exit status', rc('second') == 0, rc('second'))
check('second run: outcome per host',
      {h: r[0] for h, r in second.items()} ==
      {'lab1': 'ok', 'lab2': 'ok', 'lab3': 'ok', 'lab4': 'changed', 'lab5': 'changed'}, second)
written = {lab for lab in labs if sums('before-second')[lab] != sums('after-second')[lab]}
check('second run: labs written', written == {'lab4', 'lab5'}, written)

for lab in labs:
    facts = {port['interface']: port for port in json.load(open('%s/%s/facts.json' % (work, lab)))}
    held = show(lab)
    check('%s: ports' % lab, set(facts) == set(held), (sorted(facts), sorted(held)))
    for interface in sorted(set(facts) & set(held)):
        fact, truth = facts[interface], held[interface]
        got = {kind: entry.get('version') for kind, entry in fact['firmware'].items()}
        check('%s %s: versions' % (lab, interface), got == truth['firmware'],
              (got, truth['firmware']))
        check('%s %s: MAC and family' % (lab, interface),
              (fact['mac'], fact['family_version']) == (truth['mac'], truth['family']),
              ((fact['mac'], fact['family_version']), (truth['mac'], truth['family'])))
        # After the second run every host runs the image on its Dogwood2 ports.
        if fact['controller_type'] == 'Quillstone QSC1250 family':
            check('%s %s: updated' % (lab, interface), got.get('controller') == '7.4.4.1000', got)

for failure in failures:
    print('FAILED: ' + failure)
print('%d passed, %d failed' % (passed, len(failures)))
sys.exit(1 if failures else 0)
EOF
if [ $status -ne 0 ]; then
    for run in check first second; do
        echo "---- $run rollout"
        cat "$work/$run.out"
    done
fi
exit $status
