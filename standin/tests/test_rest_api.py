"""The stand-in's REST transport and emulated server without the checker:
which addresses leave the process, settings, and the server's answers
against the OpenAPI description (when ../shared/iolink-json is there)."""

import http.client
import json
import re
import socket
from pathlib import Path

import pytest
from velmora.base import _IoddDrv, sim
from velmora.base._address import Target, parse_target
from velmora.base._errors import IoddError
from velmora.base._rest import ENV_TIMEOUTS

API = "/iolink/v1"
# The API description, in a folder shared/iolink-json beside the checkout or further up.
IOLINK_JSON = next((p / "shared" / "iolink-json" for p in Path(__file__).parents
                    if (p / "shared" / "iolink-json").is_dir()), Path("shared", "iolink-json"))


# ---------------------------------------------------------------- addresses and settings


def test_addresses_of_emulated_masters_and_other_transports_stay_in_the_process(monkeypatch):
    def no_network(*args):
        raise AssertionError("network access")

    monkeypatch.setattr(http.client.HTTPConnection, "connect", no_network)
    monkeypatch.setattr(socket.socket, "connect", no_network)
    base = _IoddDrv.IolIpBaseDriver()
    try:
        for address in ("COM5", "D4:36:39:8A:10:55", "192.168.10.21 ", "192.168.10.21#2", ""):
            assert base.discover(address) is None
        assert base.discover("192.168.10.21").address == "192.168.10.21"
        assert [b.address for b in base.discover()] == ["192.168.10.21", "192.168.10.22"]
        for address in ("192.0.2.7:80", "192.0.2.7", "fe80::7"):
            with pytest.raises(AssertionError):
                base.discover(address)
    finally:
        base.close()


@pytest.mark.parametrize("address, plain, target", [
    ("10.0.0.5:8080", False, Target("http", "10.0.0.5", 8080)),
    ("[::1]:80", False, Target("http", "::1", 80)),
    ("HTTPS://master-3.plant", False, Target("https", "master-3.plant", 443)),
    ("http://10.0.0.5:81/api/iolink/v1/", False, Target("http", "10.0.0.5", 81, "/api/iolink/v1")),
    ("10.0.0.5", True, Target("http", "10.0.0.5", 80)),
    ("10.0.0.5", False, None),
    ("10.0.0.5:99999", False, None),
    ("ftp://10.0.0.5", False, None),
    ("http://user@10.0.0.5", False, None),
    ("D4:36:39:8A:10:55", True, None),
])
def test_rest_addresses(address, plain, target):
    assert parse_target(address, plain=plain) == target


def test_bad_settings_are_clear_errors(monkeypatch):
    monkeypatch.setenv(ENV_TIMEOUTS["connectTimeout"], "soon")
    base = _IoddDrv.IolIpBaseDriver()
    try:
        with pytest.raises(IoddError, match="VELMORA_BASE_REST_CONNECT_TIMEOUT: expected seconds .* got 'soon'"):
            base.discover("127.0.0.1:1")
    finally:
        base.close()
    with pytest.raises(sim.InstallationError, match=r"rest\.hosts\[0\]: 'a b' is not a host, host:port or http"):
        sim.load_installation({"masters": [], "rest": {"hosts": ["a b"]}})


# ---------------------------------------------------------------- OpenAPI description


def request(address, method, path, body=None):
    conn = http.client.HTTPConnection(*address.split(":"), timeout=5)
    try:
        conn.request(method, API + path, body=body)
        answer = conn.getresponse()
        raw = answer.read()
        return answer.status, (json.loads(raw) if raw else None)
    finally:
        conn.close()


def strict(schema):
    """The schema with additionalProperties false wherever properties are listed,
    so that a misspelt optional field fails too."""
    if isinstance(schema, dict):
        schema = {k: strict(v) for k, v in schema.items()}
        if "properties" in schema and "additionalProperties" not in schema:
            schema["additionalProperties"] = False
    elif isinstance(schema, list):
        schema = [strict(v) for v in schema]
    return schema


@pytest.fixture(scope="module")
def api():
    if not (IOLINK_JSON / "JSON_for_IO-Link.yaml").exists():
        pytest.skip(f"{IOLINK_JSON} is not there")
    yaml = pytest.importorskip("yaml")
    jsonschema = pytest.importorskip("jsonschema")
    with open(IOLINK_JSON / "JSON_for_IO-Link.yaml", encoding="utf-8") as f:
        doc = yaml.load(f, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader))
    components = strict(doc["components"])

    def operation(method, path):
        for template, item in doc["paths"].items():
            if re.fullmatch(re.sub(r"\{\w+\}", "[^/]+", template), path):
                return item[method.lower()]
        raise AssertionError(f"{path} is not in the API")

    def validate(schema, value):
        validator = jsonschema.Draft4Validator({"allOf": [strict(schema)], "components": components})
        errors = [f"{'/'.join(map(str, e.absolute_path))}: {e.message}" for e in validator.iter_errors(value)]
        assert not errors, errors

    def check_answer(method, path, status, value, request_body=None):
        op = operation(method, path)
        assert str(status) in op["responses"], f"{method} {path}: status {status} is not described"
        content = op["responses"][str(status)].get("content")
        if content is None:
            assert value is None
        else:
            validate(content["application/json"]["schema"], value)
        if request_body is not None:
            validate(op["requestBody"]["content"]["application/json"]["schema"], request_body)

    return check_answer


def test_answers_follow_the_openapi_description(serve, api):
    servers = serve(startup=5)
    a, b = servers.addresses["192.168.10.21"], servers.addresses["192.168.10.22"]
    cases = [  # (address, method, path, body, status, error code)
        *[(a, "GET", p, None, 200, None) for p in (
            "/gateway/identification", "/gateway/capabilities", "/masters", "/masters/1/identification",
            "/masters/1/capabilities", "/masters/1/ports", "/devices",
            *[f"/masters/1/ports/{p}/{leaf}" for p in range(1, 9) for leaf in ("status", "configuration")],
            *[f"/devices/master1port{p}/identification" for p in (1, 2, 3, 8)])],  # complete, partial, none
        (a, "GET", "/devices/master1port4/identification", None, 400, 307),  # DI port
        (a, "GET", "/devices/master1port6/identification", None, 404, 308),  # no device
        (a, "GET", "/devices/nobody/identification", None, 404, 304),
        (a, "GET", "/masters/2/identification", None, 404, 302),
        (a, "GET", "/masters/1/ports/9/configuration", None, 404, 303),
        (a, "GET", "/iodds", None, 501, 105),
        (b, "POST", "/masters/1/ports/1/configuration", json.dumps({"mode": "IOLINK_AUTOSTART"}), 204, None),
        (b, "GET", "/masters/1/ports/1/status", None, 200, None),  # DEVICE_STARTING
        (b, "GET", "/devices/master1port1/identification", None, 404, 308),  # not online yet
        (b, "POST", "/masters/1/ports/2/configuration", "", 400, 208),
        (b, "POST", "/masters/1/ports/2/configuration", "{", 400, 201),
        (b, "POST", "/masters/1/ports/2/configuration", '{"mode": 1}', 400, 203),
        (b, "POST", "/masters/1/ports/2/configuration", '{"mode": "ON"}', 400, 204),
        (b, "POST", "/masters/1/ports/2/configuration", '{"deviceAlias": "master1port1"}', 400, 207),
        (b, "POST", "/masters/1/ports/2/configuration", json.dumps({
            "mode": "IOLINK_MANUAL", "validationAndBackup": "NO_DEVICE_CHECK", "iqConfiguration": "DIGITAL_INPUT",
            "cycleTime": {"value": 2.3, "unit": "ms"}, "vendorId": 26, "deviceId": 333, "deviceAlias": "gauge"}),
         204, None),
        (b, "GET", "/masters/1/ports/2/configuration", None, 200, None),
    ]
    for address, method, path, body, status, code in cases:
        got, value = request(address, method, path, body)
        assert (got, code) == (status, value.get("code") if code else None), (method, path, value)
        api(method, path, got, value, json.loads(body) if got == 204 else None)
    assert request(b, "GET", "/masters/1/ports/2/configuration")[1]["deviceAlias"] == "gauge"
    assert request(b, "GET", "/masters/1/ports/1/status")[1] == {"statusInfo": "DEVICE_STARTING"}


HEALTH = Path(__file__).parents[1] / "examples" / "health.json"


@pytest.mark.parametrize("query, expected", [  # (masterNumber, portNumber, code) of the entries served
    ("", [(1, None, None), (1, None, None), (1, 1, 6163), (1, 2, 16912), (1, 2, 30976), (1, 2, 30976), (1, 3, 6145)]),
    ("?bottom=2", [(1, 2, 30976), (1, 3, 6145)]),
    ("?top=1", [(1, None, None)]),
    ("?origin=PORTS", [(1, 1, 6163), (1, 3, 6145)]),
    ("?origin=DEVICES&portNumber=2", [(1, 2, 16912), (1, 2, 30976), (1, 2, 30976)]),
    ("?origin=MASTERS&masterNumber=1", [(1, None, None), (1, None, None)]),
    ("?origin=ALL&deviceAlias=master1port2&bottom=1", [(1, 2, 30976)]),
])
def test_the_event_log_is_served_with_its_filters(serve, api, query, expected):
    address = serve(json.loads(HEALTH.read_text()), startup=0).addresses["192.168.10.50"]
    status, value = request(address, "GET", "/gateway/events" + query)
    api("GET", "/gateway/events", status, value)
    assert [(e["origin"].get("masterNumber"), e["origin"].get("portNumber"), e["message"].get("code"))
            for e in value] == expected
    for bad in ("?top=0", "?origin=SOME", "?top=1&bottom=1", "?colour=red"):
        assert request(address, "GET", "/gateway/events" + bad)[0] == 400
    status, value = request(address, "GET", "/masters/1/ports/1/status")  # (1.0 has no portQualityInfo)
    api("GET", "/masters/1/ports/1/status", status, value)
    assert (value["transmissionRate"], value["masterCycleTime"]["value"]) == ("COM3", 1.0)
    assert request(address, "GET", "/masters/1/ports/3/status")[1]["portQualityInfo"] == {
        "pdInValid": False, "pdOutValid": True}
