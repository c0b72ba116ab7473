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


def valid(document, name="inventory.schema.json"):
    """document, after checking it against the schema shipped as name."""
    import jsonschema

    from velmora.tools import inventory

    jsonschema.Draft202012Validator(inventory.schema(name)).validate(document)
    return document


def report_texts(document, target=None):
    """The master and device texts of the report, made by the module itself
    from an inventory's values: as they are, or as a front end makes them
    for a report_text target."""
    import contextlib
    from types import SimpleNamespace

    from velmora.tools import TessadynChecker as tc
    from velmora.tools.inventory import Capture

    texts = []
    with Capture(tc, {}, (target,)) if target else contextlib.nullcontext():
        for m in document["masters"]:
            values = {k: v for k, v in m.items() if k not in ("devices", "transport")}
            tc._print_master(SimpleNamespace(**values), texts.append, False)
            for d in m["devices"]:
                dev = SimpleNamespace(portId=d["port"], vendorId=d["vendorId"], deviceId=d["deviceId"])
                tc._print_dev(dev, d["identification"], texts.append, False)
    return texts
