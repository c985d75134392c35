#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: machines_info
short_description: List the machines Quorvel finds on a host
description:
  - Returns the machines C(quorvel --list-machines --json) lists, as File > Open Machine
    shows them, Quorvel's own machine and the recent ones, Wine prefixes (C(~/.wine),
    C($WINEPREFIX), Bottles, Lutris, Steam Proton, Heroic, PlayOnLinux) and mounted
    Windows drives of the user the task runs as.
  - Reads only; changes nothing on the host.
version_added: 1.0.0
author:
  - Quorvel developers
extends_documentation_fragment:
  - quorvel.registry.quorvel
options: {}
attributes:
  check_mode:
    support: full
'''

EXAMPLES = r'''
- name: Find the machines
  quorvel.registry.machines_info:
  register: found

- name: Every Steam Proton prefix that is not running
  ansible.builtin.debug:
    msg: "{{ found.machines | selectattr('source', 'equalto', 'proton')
             | rejectattr('running') | map(attribute='path') | list }}"
'''

RETURN = r'''
machines:
  description: One object per machine.
  returned: always
  type: list
  elements: dict
  contains:
    name:
      description: The name shown for it (a Steam game's name for its Proton prefix).
      type: str
    path:
      description: Its folder; give it to M(quorvel.registry.settings) as C(machine).
      type: str
    kind:
      description: What it is, as shown (Own machine, Wine prefix, Windows installation).
      type: str
    machine_kind:
      description: >-
        The same as M(quorvel.registry.settings) takes it for C(kind): own, wine or
        windows.
      type: str
    source:
      description: >-
        Where it was found: own, recent, WINEPREFIX, wine, bottles, lutris, proton,
        heroic, playonlinux or mounted.
      type: str
    windows:
      description: The Windows version it reports, when known.
      type: str
    running:
      description: Whether its wineserver runs (apply then needs through_wine).
      type: bool
    lastUsed:
      description: When Quorvel last opened it, or null.
      type: str
  sample:
    - name: Own machine
      path: /home/player/.local/share/quorvel/machine
      kind: Own machine
      machine_kind: own
      source: own
      windows: ''
      running: false
      lastUsed: null
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quorvel.registry.plugins.module_utils.quorvel import (
    QUORVEL_OPTION, run_quorvel, trailing_json)

# What --list-machines shows as a machine's kind, as the settings module names it.
MACHINE_KINDS = {'Own machine': 'own', 'Windows installation': 'windows'}


def main():
    module = AnsibleModule(argument_spec=dict(quorvel=QUORVEL_OPTION), supports_check_mode=True)
    out = run_quorvel(module, ['--list-machines', '--json'])
    machines, _ = trailing_json(module, out, '[')
    for machine in machines:
        machine['machine_kind'] = MACHINE_KINDS.get(machine.get('kind'), 'wine')
    module.exit_json(changed=False, machines=machines)


if __name__ == '__main__':
    main()
