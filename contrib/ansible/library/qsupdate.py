#!/usr/bin/python3
# -*- coding: utf-8 -*-
"""Ansible module over qsupdate: facts from its status report, and updates."""

from __future__ import annotations

import re
import shlex

DOCUMENTATION = r'''
---
module: qsupdate
short_description: Report and update the firmware of Duskhollow network adapters
description:
  - Runs C(qsupdate) on the host and returns, per adapter port, the interface,
    MAC address, firmware family version, the installed version of each kind
    of firmware and the verdict for each kind, read from its status report.
  - With I(image) and I(state=latest), writes the image
    (C(qsupdate --write --yes)) when the status report says that it is newer
    than what a port runs; C(changed) is true only when something was written.
  - A failing qsupdate fails the task with qsupdate's own message and exit
    status; this includes an image that applies to no adapter of the host.
options:
  command:
    description:
      - The qsupdate command, split like a shell would split it; qsupdate's
        arguments are appended.
    type: str
    default: qsupdate
  image:
    description: Path on the host of a firmware image (C(--image)).
    type: path
  state:
    description:
      - C(present) only reports; C(latest) writes I(image) where it is newer.
    type: str
    choices: [present, latest]
    default: present
  adapter:
    description: An interface name or MAC address (C(--adapter)); all ports when absent.
    type: str
  backup:
    description: Save each old image before writing it (C(--backup)).
    type: bool
    default: false
  force:
    description: Write even when the installed version is the same or newer (C(--force)).
    type: bool
    default: false
notes:
  - Supports check mode, which reports what would be written and writes nothing.
'''

EXAMPLES = r'''
- name: Report the adapters' firmware
  qsupdate:
  register: adapters

- name: Update the controller firmware where the image is newer
  qsupdate:
    image: /var/tmp/mcfw-7.4.4.1000.bin
    state: latest
'''

RETURN = r'''
ports:
  description: One entry per port in the order of the report (after any update).
  returned: always
  type: list
  elements: dict
  sample:
    - interface: eth0
      mac: 00-1B-7E-5A-10-00
      family_version: 7.4.3.1008
      controller_type: Quillstone QSC1250 family
      accessible: true
      firmware: {controller: {version: 7.4.3.1008}, mum: {version: 3.0.2.5, type: Micro-controller}}
      verdicts: {controller: {verdict: newer, version: 7.4.4.1000}}
      messages: []
      raw: []
ports_before:
  description: The ports as they were before the update.
  returned: when something was written
  type: list
pending:
  description: The (interface, kind, version) an update would write, from the report against I(image).
  returned: always
  type: list
updated:
  description: The port and kind of every image written, from qsupdate's output.
  returned: always
  type: list
versions:
  description: Per port and kind, the version before and after this run.
  returned: always
  type: list
raw:
  description: Report lines outside any port that no known format matches.
  returned: always
  type: list
'''

# Kinds of firmware by the labels and names the report prints them with.
VERSION_LABELS = {
    'PHY version:': 'phy',
    'Boot ROM version:': 'bootrom',
    'Controller version:': 'controller',
    'FPGA version:': 'fpga',
    'Diagnostic FPGA version:': 'fpga_diag',
    'FC version:': 'kve',
    'CPLD version:': 'cpld',
    'MUM version:': 'mum',
    'UEFI ROM version:': 'uefi',
    'Bundle version:': 'bundle',
}
TYPE_LABELS = {
    'PHY type:': 'phy',
    'FPGA type:': 'fpga',
    'Diagnostic FPGA type:': 'fpga_diag',
    'FC type:': 'kve',
    'CPLD type:': 'cpld',
    'MUM type:': 'mum',
    'Bundle type:': 'bundle',
}
KIND_NAMES = {
    'PHY firmware': 'phy',
    'Boot ROM firmware': 'bootrom',
    'controller firmware': 'controller',
    'FPGA bitfile': 'fpga',
    'diagnostic FPGA bitfile': 'fpga_diag',
    'KVE firmware': 'kve',
    'CPLD bitfile': 'cpld',
    'MUM firmware': 'mum',
    'UEFI ROM firmware': 'uefi',
    'Bundle firmware': 'bundle',
}
LABEL_WIDTH = 19

HEADER = re.compile(r'^(\S+) - MAC: ([0-9A-Fa-f]{2}(?:[-:][0-9A-Fa-f]{2}){5})$')
BANNER = re.compile(r'^.* firmware update utility \[v(\d+(?:\.\d+)*)\]$')
VERSION = re.compile(r'^v(\d+\.\d+\.\d+\.\d+)$')
UP_TO_DATE = re.compile(r'^The (.+) is up to date$')
NEWER = re.compile(r'^(This is|This utility contains) more recent (.+) \[v(\d+\.\d+\.\d+\.\d+)\]$')
NO_IMAGE = re.compile(r'^This utility does not contain (.+) for this adapter$')
IPXE = 'The current Boot ROM is an iPXE image.'
# The offered command repeats the report's image and adapter options, if any.
WRITE_ADVICE = re.compile(r'^   - run "qsupdate --write(?: .*)?" to perform an update$')
FORCE_ADVICE = re.compile(r'^   - run "qsupdate --force --write(?: .*)?" to perform an update$')
NO_ACCESS = '    Firmware cannot be accessed via this interface.'
NO_ACCESS_SIBLING = '    Firmware cannot be accessed via this interface,'
USE_SIBLING = re.compile(r'^    please use (\S+)\.$')
CORRUPT = re.compile(r"^Dynamic configuration is corrupt\. Run 'qsboot -i \S+ --repair'")
SUPPORT = re.compile(r'^Please contact .+ to report this incident')
WRITING = re.compile(r'^(\S+): writing (.+)$')
PROGRESS = re.compile(r'^\[ *\d+%\] ')


def detail(line):
    """Splits a detail line "    %-19s %s" into its known label and value."""
    if not line.startswith('    ') or line.startswith('     '):
        return None
    body = line[4:]
    for label in (*VERSION_LABELS, *TYPE_LABELS, 'Firmware version:', 'Controller type:'):
        if not body.startswith(label):
            continue
        pad = max(LABEL_WIDTH - len(label), 0) + 1
        rest = body[len(label):]
        value = rest[pad:]
        if rest[:pad] == ' ' * pad and value and not value.startswith(' '):
            return label, value
    return None


def installed_version(value, kind):
    """The version text of a detail value: None when unknown, 'iPXE' for that boot ROM."""
    match = VERSION.match(value)
    if match:
        return match.group(1)
    if value == 'unknown':
        return None
    if value == 'iPXE' and kind == 'bootrom':
        return value
    raise ValueError(value)


def new_port(interface, mac):
    return {'interface': interface, 'mac': mac.upper().replace(':', '-'),
            'family_version': None, 'controller_type': None, 'accessible': True,
            'use_interface': None, 'firmware': {}, 'verdicts': {},
            'messages': [], 'raw': []}


def parse_report(text):
    """Parses qsupdate's status report. Lines of no known format land in a raw list."""
    report = {'utility_version': None, 'banner': [], 'ports': [], 'raw': []}
    port = None
    last_verdict = None
    for line in text.replace('\r', '\n').split('\n'):
        if not line.strip():
            continue
        header = HEADER.match(line)
        if header:
            port = new_port(*header.groups())
            report['ports'].append(port)
            last_verdict = None
            continue
        if port is None:
            banner = BANNER.match(line)
            if banner and report['utility_version'] is None:
                report['utility_version'] = banner.group(1)
                report['banner'].append(line)
            elif len(report['banner']) == 1:
                report['banner'].append(line)
            else:
                report['raw'].append(line)
            continue
        if not parse_port_line(port, line, last_verdict):
            port['raw'].append(line)
            last_verdict = None
        else:
            last_verdict = port.get('_last')
        port.pop('_last', None)
    return report


def parse_port_line(port, line, last_verdict):
    """Applies one line of a port's report; False when it has no known format."""
    fields = detail(line)
    if fields:
        label, value = fields
        if label == 'Firmware version:':
            match = VERSION.match(value)
            if not match:
                return False
            port['family_version'] = match.group(1)
        elif label == 'Controller type:':
            port['controller_type'] = value
        elif label in VERSION_LABELS:
            kind = VERSION_LABELS[label]
            try:
                version = installed_version(value, kind)
            except ValueError:
                return False
            port['firmware'].setdefault(kind, {})['version'] = version
        else:
            kind = TYPE_LABELS[label]
            entry = port['firmware'].setdefault(kind, {})
            entry['type'] = value
        return True

    if WRITE_ADVICE.match(line):
        return last_verdict is not None and last_verdict['verdict'] == 'newer'
    if FORCE_ADVICE.match(line):
        if last_verdict is None or last_verdict['verdict'] != 'up_to_date':
            return False
        last_verdict['verdict'] = 'forced'
        return True
    if line == IPXE:
        port['verdicts']['bootrom'] = {'verdict': 'ipxe', 'version': None}
        return True
    match = UP_TO_DATE.match(line)
    if match and match.group(1) in KIND_NAMES:
        return set_verdict(port, match.group(1), 'up_to_date', None)
    match = NEWER.match(line)
    if match and match.group(2) in KIND_NAMES:
        return set_verdict(port, match.group(2), 'newer', match.group(3))
    match = NO_IMAGE.match(line)
    if match and match.group(1) in KIND_NAMES:
        return set_verdict(port, match.group(1), 'no_image', None)

    if line in (NO_ACCESS, NO_ACCESS_SIBLING):
        port['accessible'] = False
        return True
    match = USE_SIBLING.match(line)
    if match and not port['accessible']:
        port['use_interface'] = match.group(1)
        return True
    if CORRUPT.match(line) or SUPPORT.match(line):
        port['messages'].append(line)
        return True
    return False


def set_verdict(port, name, verdict, version):
    entry = {'verdict': verdict, 'version': version}
    port['verdicts'][KIND_NAMES[name]] = entry
    port['_last'] = entry
    return True


def pending_updates(report, force):
    """What a write would do, by the verdicts of a report against the image."""
    wanted = ('newer', 'forced') if force else ('newer',)
    return [{'interface': port['interface'], 'kind': kind, 'version': verdict['version']}
            for port in report['ports']
            for kind, verdict in sorted(port['verdicts'].items())
            if verdict['verdict'] in wanted]


def written(stdout):
    """The port and kind of every image that qsupdate's write output says it wrote."""
    names = {name.lower(): kind for name, kind in KIND_NAMES.items()}
    updates = []
    for line in stdout.replace('\r', '\n').split('\n'):
        match = WRITING.match(line)
        if match and match.group(2) != 'version information':
            name = match.group(2).lower()
            updates.append({'interface': match.group(1), 'kind': names.get(name, name)})
    return updates


def without_progress(text):
    """qsupdate's output without its progress lines, which end in a carriage return."""
    lines = text.replace('\r', '\n').split('\n')
    return '\n'.join(line for line in lines if not PROGRESS.match(line))


def merge(plain, against_image):
    """Installed versions from the full report, verdicts from the one against the image."""
    verdicts = {port['interface']: port['verdicts'] for port in against_image['ports']} \
        if against_image else None
    ports = []
    for port in plain['ports']:
        port = dict(port)
        if verdicts is not None:
            port['verdicts'] = verdicts.get(port['interface'], {})
        ports.append(port)
    return ports


def version_changes(before, after):
    """Per port and kind, the installed version before and after."""
    old = {(p['interface'], k): f.get('version') for p in before for k, f in p['firmware'].items()}
    rows = []
    for port in after:
        for kind, entry in sorted(port['firmware'].items()):
            rows.append({'interface': port['interface'], 'kind': kind,
                         'before': old.get((port['interface'], kind)),
                         'after': entry.get('version')})
    return rows


class Qsupdate:
    """Runs qsupdate through the module, failing the task as qsupdate fails."""

    def __init__(self, module):
        self.module = module
        try:
            self.argv = shlex.split(module.params['command'])
        except ValueError as error:
            module.fail_json(msg='command: %s' % error)
        if not self.argv:
            module.fail_json(msg='command is empty')

    def run(self, *args, **facts):
        # The report is parsed in its untranslated wording.
        rc, out, err = self.module.run_command(
            self.argv + list(args),
            environ_update={'LC_ALL': 'C', 'LANG': 'C', 'LANGUAGE': 'C'})
        if rc != 0:
            lines = [line for line in err.splitlines() if line.strip()]
            if not lines:
                lines = [line for line in out.replace('\r', '\n').splitlines() if line.strip()][-1:]
            self.module.fail_json(msg='\n'.join(lines) or 'qsupdate failed with status %d' % rc,
                                  rc=rc, stdout=without_progress(out), stderr=err, cmd=self.argv + list(args),
                                  **facts)
        return out, err

    def report(self, selection, image=None, force=False):
        args = list(selection)
        if image:
            args.append('--image=%s' % image)
        if force:
            args.append('--force')
        return parse_report(self.run(*args)[0])


def main():
    from ansible.module_utils.basic import AnsibleModule

    module = AnsibleModule(
        argument_spec=dict(
            command=dict(type='str', default='qsupdate'),
            image=dict(type='path'),
            state=dict(type='str', default='present', choices=['present', 'latest']),
            adapter=dict(type='str'),
            backup=dict(type='bool', default=False),
            force=dict(type='bool', default=False),
        ),
        required_if=[('state', 'latest', ('image',))],
        supports_check_mode=True,
    )
    params = module.params
    tool = Qsupdate(module)
    selection = ['--adapter=%s' % params['adapter']] if params['adapter'] else []
    image = params['image']

    def snapshot():
        plain = tool.report(selection)
        against = tool.report(selection, image, params['force']) if image else None
        return plain, against

    plain, against = snapshot()
    ports = merge(plain, against)
    pending = pending_updates(against, params['force']) if against else []
    result = dict(changed=False, ports=ports, pending=pending, updated=[],
                  raw=plain['raw'] + (against['raw'] if against else []),
                  utility_version=plain['utility_version'])

    if params['state'] == 'latest' and pending:
        if module.check_mode:
            result['changed'] = True
        else:
            args = selection + ['--write', '--yes', '--image=%s' % image]
            if params['backup']:
                args.append('--backup')
            if params['force']:
                args.append('--force')
            stdout, stderr = tool.run(*args, ports_before=ports, pending=pending)
            result['updated'] = written(stdout)
            result['changed'] = bool(result['updated'])
            result['stdout'] = without_progress(stdout)
            result['stderr'] = stderr
            plain, against = snapshot()
            result['ports_before'] = ports
            result['ports'] = merge(plain, against)
    result['versions'] = version_changes(result.get('ports_before', result['ports']),
                                         result['ports'])
    result['ansible_facts'] = {'qsupdate_ports': result['ports']}
    module.exit_json(**result)


if __name__ == '__main__':
    main()
