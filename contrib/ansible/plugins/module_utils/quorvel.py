# -*- coding: utf-8 -*-
# Running Quorvel's scripting mode for the collection's modules.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json

# Scripting mode still builds the window, offscreen: hosts need no display.
QUORVEL_ENVIRON = {'QT_QPA_PLATFORM': 'offscreen'}

QUORVEL_OPTION = dict(type='path', default='quorvel')


def quorvel_program(module):
    name = module.params['quorvel']
    if '/' in name:
        return name
    found = module.get_bin_path(name)
    if not found:
        module.fail_json(msg='quorvel: the program %s was not found on the host' % name)
    return found


def run_quorvel(module, args):
    """Runs quorvel with args and returns its stdout; a failure fails the task with
    Quorvel's own message (its stderr: "quorvel: ...")."""
    cmd = [quorvel_program(module)] + args
    rc, out, err = module.run_command(cmd, environ_update=QUORVEL_ENVIRON)
    if rc != 0:
        message = err.strip() or out.strip() or 'quorvel exited with status %d' % rc
        module.fail_json(msg=message, rc=rc, cmd=cmd, stdout=out, stderr=err)
    return out


def trailing_json(module, out, opening):
    """The JSON document that ends stdout; message lines may come before it.
    Returns (document, the message lines)."""
    lines = out.splitlines()
    # From the end: the document starts at the last line (unindented) that opens one
    # whose text parses to the end of the output.
    for start in range(len(lines) - 1, -1, -1):
        if not lines[start].startswith(opening):
            continue
        try:
            return json.loads('\n'.join(lines[start:])), lines[:start]
        except ValueError:
            continue
    module.fail_json(msg='quorvel printed no JSON result', stdout=out)
