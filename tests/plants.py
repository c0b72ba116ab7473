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


def report_texts(document, shown=str):
    """The master and device texts of the report, made from an inventory by
    the report's rules (text forms, blanks stripped, placeholders, hex IDs);
    each value's text passed through shown (report_text.safe: as a front end
    shows it)."""
    def tf(value):
        return shown("None" if value is None else str(value))

    texts = []
    for m in document["masters"]:
        vid = f" vid 0x{m['vendorId']:04x}," if m["vendorId"] else ""
        did = f" did 0x{m['deviceId']:04x}," if m["deviceId"] else ""
        name = f" ({tf(m['name'])})" if m["name"] else ""
        fw = f" fwVer {tf(m['fwVersion'])}" if m["fwVersion"] else ""
        vendor, product, code = m["vendor"], m["productName"], m["productCode"]
        if vendor == "unknown" or (product and product.startswith(vendor)):
            vendor = ""
        pcode = f" ({tf(code)})" if code and code != product else ""
        texts.append(f"\nMaster {tf(m['address'])}{name}: {tf(vendor)}, {tf(product)}{pcode},"
                     f"\n    {vid}{did}{fw}")
        for d in m["devices"]:
            pre, ident = f"  * Device port {tf(d['port'])}:", d["identification"]
            ids = f"vid 0x{d['vendorId']:04x}, did 0x{d['deviceId']:04x}"
            if not ident:
                texts.append(f"{pre} NO_IDENT, {ids}")
                continue

            def g(key, placeholder=None):
                return shown((ident[key] or placeholder).strip() if placeholder else ident[key].strip())

            texts.append(
                f"{pre} {g('vendorName')}, {g('productName')} ({g('productId', 'NO_PRODUCT_ID')}),\n"
                f"    {g('productText', 'NO_PRODUCT_TEXT')}, {ids},\n"
                f"    fwVer {g('firmwareRevision', 'NO_FW_VER')}, hwVer {g('hardwareRevision', 'NO_HW_VER')}, "
                f"S/N {g('serialNumber', 'NO_SERIAL')}, tag: {g('applicationSpecificTag', 'NO_TAG')}")
    return texts
