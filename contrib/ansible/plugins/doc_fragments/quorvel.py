# -*- coding: utf-8 -*-
# What every module of the collection says about the program it runs.

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):

    DOCUMENTATION = r'''
options:
  quorvel:
    description:
      - The Quorvel program on the host, a name looked up in C(PATH) or a path.
    type: path
    default: quorvel
notes:
  - Runs C(quorvel) with C(QT_QPA_PLATFORM=offscreen); the host needs Quorvel installed
    but no display.
'''
