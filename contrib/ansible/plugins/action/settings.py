# -*- coding: utf-8 -*-
# The settings task: the profile is a file of the playbook's (found as copy finds its
# src), sent to the host's temporary folder for the module, which reads host paths only.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

from ansible.errors import AnsibleError
from ansible.module_utils.parsing.convert_bool import boolean
from ansible.plugins.action import ActionBase


class ActionModule(ActionBase):

    TRANSFERS_FILES = True

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp
        args = self._task.args.copy()
        try:
            profile = args.get('profile')
            if profile and not boolean(args.get('remote_src', False), strict=False):
                try:
                    source = self._loader.get_real_file(self._find_needle('files', profile))
                except AnsibleError as e:
                    result.update(failed=True, msg='the profile %s: %s' % (profile, e))
                    return result
                remote = self._connection._shell.join_path(self._connection._shell.tmpdir, 'profile.reg')
                self._transfer_file(source, remote)
                self._fixup_perms2((self._connection._shell.tmpdir, remote))
                args['profile'] = remote
                args['remote_src'] = True
            result.update(self._execute_module(module_name='quorvel.registry.settings',
                                               module_args=args, task_vars=task_vars))
            return result
        finally:
            self._remove_tmp_path(self._connection._shell.tmpdir)
