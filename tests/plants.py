"""Installation files of IP masters for the tests that run the programs."""

import json


def ip_master(address, devices=1, **extra):
    """An IP master of the installation file with `devices` devices (a DI
    port when none), and `extra` entries such as delay or fault."""
    ports = [{"mode": "IOLINK", "device": {"vendorId": 1, "deviceId": 10 + i}}
             for i in range(devices)]
    return {"transport": "IP", "address": address, "ports": ports or [{"mode": "DI"}], **extra}


def plant(tmp_path, *masters):
    """The path of an installation file with the masters."""
    path = tmp_path / "plant.json"
    path.write_text(json.dumps({"masters": list(masters)}))
    return str(path)
