#!/usr/bin/python
# -*- coding: utf-8 -*-
# Tesmora card readers as an Ansible task: a reader profile applied with
# tesmora-cli config apply --json, only what differs, verified.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: tesmora_reader
short_description: Set Tesmora RFID card readers up from a reader profile
description:
  - Applies a reader profile to the card reader on one serial port, or to
    every reader found, with C(tesmora-cli config apply --json).
  - Only the settings that differ from the profile are sent; the reader is
    scanned again afterwards and every field compared. Before a reader is
    changed, its settings as read are saved under the user's state folder
    (C($XDG_STATE_HOME/tesmora/backups)); the path is returned.
  - In check mode the readers are read and compared, and nothing is sent.
options:
  profile:
    description:
      - The path of a profile file on the managed host, as written by
        C(tesmora-cli config read).
      - Or the profile inline, a dictionary with C(type), C(id),
        C(lineSetting) and C(settings); C(format) and C(version) may be
        left out.
    type: raw
    required: true
  port:
    description:
      - The COM number of the reader, 1 to 16, or a network port as a URL,
        C(rfc2217://HOST:PORT) (a telnet server with RFC 2217, such as
        ser2net) or C(tcp://HOST:PORT) (raw TCP: the server fixes the line
        setting, so a profile that changes it is refused), or their TLS
        forms C(rfc2217s://HOST:PORT) and C(tcps://HOST:PORT), which take
        C(?ca=FILE), C(fingerprint=SHA256), C(cert=FILE) and C(key=FILE)
        (see the README, "Readers on the network"). Without it and
        without I(all), the reader the tool's stored settings point to, else
        the first one a scan finds.
    type: str
  all:
    description:
      - Every reader on COM1 to COM16, the ports probed at the same time and
        the readers set in parallel.
    type: bool
    default: false
  id_from:
    description:
      - Gives the readers consecutive IDs from this one in port order,
        instead of the profile's ID. IDs past 99 are refused.
    type: int
  executable:
    description:
      - The path of C(tesmora-cli); by default it is looked up on C(PATH).
    type: path
notes:
  - The account needs the C(dialout) group to open serial ports.
  - Supports check mode and diff mode.
author:
  - Tesmora developers
"""

EXAMPLES = r"""
- name: Every reader of the site set up alike, IDs from 11 in port order
  tesmora_reader:
    profile: /etc/tesmora/site.json
    all: true
    id_from: 11

- name: The door reader on COM3, its profile written out here
  tesmora_reader:
    port: 3
    profile:
      type: 4
      id: "07"
      lineSetting: "19200,e,8,1"
      settings: {interface: 1, wiegand: 0, rs485: 3, keyNumber: 8, keyParity: 0,
                 keyStatus: 0, keyDelay: 3, idSector: 1, idBlock: 0, idByte: 0,
                 idKey: "A", idKeyError: 3}
"""

RETURN = r"""
readers:
  description: One entry per reader, as tesmora-cli config apply --json prints it.
  returned: always
  type: list
  elements: dict
  sample:
    - port: 3
      changed: [{field: keyNumber, from: 4, to: 8}, {field: id, from: "01", to: "07"}]
      applied: true
      backup: /root/.local/state/tesmora/backups/12345678-20261208T150913.382Z.json
changed:
  description: Whether a setting was sent to a reader (in check mode, would be).
  returned: always
  type: bool
error:
  description: The tool's error, when it failed.
  returned: failed
  type: str
reason:
  description: Why, where the tool knows it.
  returned: failed
  type: str
"""

import json

from ansible.module_utils.basic import AnsibleModule


def profile_text(profile):
    if isinstance(profile, dict):
        whole = {"format": "tesmora-reader-profile", "version": 1}
        whole.update(profile)
        return "-", json.dumps(whole)
    return str(profile), None


def reader_changed(reader, check_mode):
    if not reader.get("changed"):
        return False
    # A backup is written just before the first setting is sent.
    return check_mode or "error" not in reader or "backup" in reader


def port_name(port):
    # A COM number, or the URL of a network port that no COM number maps.
    return port if isinstance(port, str) else "COM%d" % port


def diff_of(readers):
    before, after = {}, {}
    for reader in readers:
        name = port_name(reader["port"])
        for change in reader.get("changed", []):
            before.setdefault(name, {})[change["field"]] = change["from"]
            after.setdefault(name, {})[change["field"]] = change["to"]
    return {"before": before, "after": after}


def main():
    module = AnsibleModule(
        argument_spec=dict(
            profile=dict(type="raw", required=True),
            port=dict(type="str"),
            all=dict(type="bool", default=False),
            id_from=dict(type="int"),
            executable=dict(type="path"),
        ),
        mutually_exclusive=[("port", "all")],
        supports_check_mode=True,
    )
    p = module.params
    executable = p["executable"] or module.get_bin_path("tesmora-cli", required=True)
    path, stdin = profile_text(p["profile"])
    args = [executable, "config", "apply", path, "--json"]
    if p["port"] is not None:
        args += ["--port", str(p["port"])]
    if p["all"]:
        args.append("--all")
    if p["id_from"] is not None:
        args += ["--id-from", str(p["id_from"])]
    if module.check_mode:
        args.append("--check")

    rc, out, err = module.run_command(args, data=stdin)
    lines = []
    for line in out.splitlines():
        try:
            lines.append(json.loads(line))
        except ValueError:
            module.fail_json(msg="tesmora-cli printed what is not JSON: %s" % line, rc=rc,
                             stderr=err)
    readers = [o for o in lines if "port" in o]
    changed = any(reader_changed(r, module.check_mode) for r in readers)
    result = dict(changed=changed, readers=readers)
    if module._diff:
        result["diff"] = diff_of(readers)
    if rc != 0:
        failure = next((o for o in lines if "error" in o), {})
        error = failure.get("error", err.strip() or "tesmora-cli exited with %d" % rc)
        if "port" in failure:
            error = "%s: %s" % (port_name(failure["port"]), error)
        module.fail_json(msg=error, error=failure.get("error", error),
                         reason=failure.get("reason", ""), rc=rc, stderr=err, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
