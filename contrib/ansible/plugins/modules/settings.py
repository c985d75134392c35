#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: settings
short_description: Apply Quorvel settings and a .reg profile to a machine
description:
  - Sets Quorvel's controls (the names C(quorvel --list) prints) and imports a C(.reg)
    profile on a Wine prefix, a Quorvel machine folder or an installed Windows, then
    applies them with C(quorvel --apply). Only what differs is written; when nothing
    differs no file is touched and the task reports C(changed=false).
  - Every apply keeps its undo backup under C($XDG_STATE_HOME/quorvel/backups/) on the
    host; C(quorvel --undo) on the same machine takes it back.
  - In check mode it runs C(quorvel --diff --json) only and writes nothing (a missing own
    machine is not created, its changes are shown against a freshly seeded one).
  - With C(--diff) the changes are shown as before/after lines
    C(HIVE\KEY\VALUE = data), sorted; keys created or deleted show as C(HIVE\KEY\).
version_added: 1.0.0
author:
  - Quorvel developers
extends_documentation_fragment:
  - quorvel.registry.quorvel
options:
  machine:
    description:
      - The machine's folder on the host, read as C(kind) says.
    type: path
    required: true
  kind:
    description:
      - C(wine) a Wine prefix (it must hold system.reg and user.reg), such as a Steam
        Proton prefix C(.../compatdata/APPID/pfx).
      - C(own) a Quorvel machine folder, created and seeded when missing or empty.
      - C(windows) the system drive of an installed Windows (a mounted partition or a
        copy), edited through its hive files.
    type: str
    choices: [wine, own, windows]
    default: wine
  windows_user:
    description:
      - With C(kind=windows), the user (profile folder or SID) whose settings are edited;
        needed when that Windows has several users.
    type: str
  settings:
    description:
      - Control name to value, as C(quorvel --list) prints them and C(--set) takes them
        (check box 0/1/2, option button 1, text box the text, slider an integer,
        check-box list the checked entries C(A:,C:), list-view entry C(NAME[KEY]) 0/1).
      - Booleans are written as 1 and 0. They are set in the order given, after the
        profile, so they win over it.
      - An unknown name or a value the control refuses fails the task with Quorvel's
        message, and nothing is written.
    type: dict
    default: {}
  profile:
    description:
      - A C(.reg) file whose changes are applied with the settings.
      - A path on the controller, looked for as M(ansible.builtin.copy) looks for its
        C(src) (the role's or playbook's C(files/) folder
        first); the task copies it to the host's temporary folder and removes it after.
      - With C(remote_src=true), a path on the host.
    type: path
  remote_src:
    description:
      - C(profile) is a path on the host rather than on the controller.
    type: bool
    default: false
  through_wine:
    description:
      - Apply through the prefix's running Wine (C(wine reg import), then read back).
        Without it, a Wine prefix whose wineserver runs is refused, as Wine would
        overwrite the files when it stops.
    type: bool
    default: false
  backup:
    description:
      - Return the path of the undo backup this apply kept as C(backup_path).
    type: bool
    default: false
attributes:
  action:
    support: full
  check_mode:
    support: full
  diff_mode:
    support: full
'''

EXAMPLES = r'''
- name: Faster menus and an Explorer command on every file, in a Proton prefix
  quorvel.registry.settings:
    machine: /home/player/.steam/steam/steamapps/compatdata/620/pfx
    settings:
      sldMenuShowDelay: 100
      optShowOnAllFiles(0): 1
      txtAddToAllFilesTitle: Open in Notepad
      txtAddToAllFilesCommand: notepad.exe "%1"

- name: A profile kept with the playbook (files/desktop.reg), on a Quorvel machine, keeping the way back
  quorvel.registry.settings:
    machine: /srv/quorvel/office
    kind: own
    profile: desktop.reg
    backup: true
  register: applied

- name: A profile already on the host
  quorvel.registry.settings:
    machine: /home/player/.wine
    profile: /etc/quorvel/site.reg
    remote_src: true

- name: One user's settings on a mounted Windows
  quorvel.registry.settings:
    machine: /mnt/windows
    kind: windows
    windows_user: alice
    settings:
      chkAnimateWindows: false
'''

RETURN = r'''
changed:
  description: Whether the machine's registry was (or in check mode would be) changed.
  returned: always
  type: bool
changes:
  description:
    - The pending changes as C(quorvel --diff --json) lists them, one object per change
      with C(node), C(page), C(op) (set, delete-value, create-key, delete-key), C(hive),
      C(key), C(value), C(old), C(new) and C(reg) (its .reg text).
  returned: in check mode and with --diff
  type: list
  elements: dict
values:
  description: How many values the apply wrote.
  returned: when applied
  type: int
  sample: 3
backup_path:
  description: The undo backup this apply kept (null when nothing changed).
  returned: when C(backup=true) and applied
  type: str
  sample: /home/player/.local/state/quorvel/backups/620-1819dbc1/2026-01-08T06-28-59.756Z.undo.reg
machine:
  description: The machine's name as Quorvel shows it.
  returned: when applied
  type: str
folder:
  description: The machine's folder.
  returned: when applied
  type: str
messages:
  description: What Quorvel printed before its result (the profile's import summary, ...).
  returned: always
  type: list
  elements: str
'''

import os
import shutil
import tempfile

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.six import string_types
from ansible_collections.quorvel.registry.plugins.module_utils.quorvel import (
    QUORVEL_OPTION, run_quorvel, trailing_json)

MACHINE_FLAGS = {'wine': '--wine-prefix', 'own': '--machine', 'windows': '--windows'}

# Texts --diff --json gives for a side that holds nothing.
ABSENT = ('', '(not set)', '(deleted)')


def control_value(value):
    if isinstance(value, bool):
        return '1' if value else '0'
    if isinstance(value, string_types):
        return value
    return str(value)


def change_args(params):
    args = []
    if params['through_wine']:
        args.append('--through-wine')
    if params['profile']:
        args += ['--import', params['profile']]
    for name, value in params['settings'].items():
        args += ['--set', '%s=%s' % (name, control_value(value))]
    return args


def machine_args(params, folder):
    args = [MACHINE_FLAGS[params['kind']], folder]
    if params['windows_user']:
        args += ['--windows-user', params['windows_user']]
    return args


def diff_text(changes):
    """Ansible's before/after from the rows of --diff --json."""
    before, after = [], []
    for row in changes:
        old, new = row.get('old') or '', row.get('new') or ''
        if row.get('value') is None:
            # A key made or removed: its path, ending in a backslash.
            path = '%s\\%s\\' % (row.get('hive'), row.get('key'))
            if row.get('op') == 'create-key':
                after.append(path)
            elif row.get('op') == 'delete-key':
                before.append('%s = %s' % (path, old) if old else path)
            continue
        path = '%s\\%s\\%s' % (row.get('hive'), row.get('key'), row['value'])
        if old not in ABSENT:
            before.append('%s = %s' % (path, old))
        if new not in ABSENT:
            after.append('%s = %s' % (path, new))
    return {'before': ''.join(line + '\n' for line in sorted(before)),
            'after': ''.join(line + '\n' for line in sorted(after))}


def own_machine_missing(params):
    folder = params['machine']
    return params['kind'] == 'own' and (not os.path.isdir(folder) or not os.listdir(folder))


def main():
    module = AnsibleModule(
        argument_spec=dict(
            machine=dict(type='path', required=True),
            kind=dict(type='str', choices=['wine', 'own', 'windows'], default='wine'),
            windows_user=dict(type='str'),
            settings=dict(type='dict', default={}),
            profile=dict(type='path'),
            remote_src=dict(type='bool', default=False),
            through_wine=dict(type='bool', default=False),
            backup=dict(type='bool', default=False),
            quorvel=QUORVEL_OPTION,
        ),
        supports_check_mode=True,
    )
    params = module.params
    if params['windows_user'] and params['kind'] != 'windows':
        module.fail_json(msg='windows_user is only for kind=windows')
    if params['profile'] and not os.path.isfile(params['profile']):
        module.fail_json(msg='the profile %s is not a file on the host' % params['profile'])

    created = own_machine_missing(params)
    result = dict(changed=created, messages=[])

    def pending(folder):
        out = run_quorvel(module, machine_args(params, folder) + change_args(params) + ['--diff', '--json'])
        changes, messages = trailing_json(module, out, '[')
        result.update(changes=changes, messages=messages, diff=diff_text(changes))
        result['changed'] = created or bool(changes)
        return changes

    if module.check_mode:
        if created:
            # Quorvel seeds a missing own machine even for --diff: show it on a scratch one.
            scratch = tempfile.mkdtemp(dir=module.tmpdir)
            try:
                pending(os.path.join(scratch, 'machine'))
            finally:
                shutil.rmtree(scratch, ignore_errors=True)
        else:
            pending(params['machine'])
        module.exit_json(**result)

    if module._diff and not pending(params['machine']):
        module.exit_json(**result)

    out = run_quorvel(module, machine_args(params, params['machine']) + change_args(params) + ['--apply', '--json'])
    summary, messages = trailing_json(module, out, '{')
    result['messages'] = messages
    result['changed'] = created or bool(summary.get('changed'))
    result['values'] = summary.get('values', 0)
    result['machine'] = summary.get('machine')
    result['folder'] = summary.get('folder')
    if params['backup']:
        result['backup_path'] = summary.get('backup')
    module.exit_json(**result)


if __name__ == '__main__':
    main()
