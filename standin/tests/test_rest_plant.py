"""REST masters as plants have them, over real sockets on 127.0.0.1: error
answers by code and as typed errors, writes the master refuses, gateways with
several masters, user management, own certificates, port faults."""

from __future__ import annotations

import pytest
from velmora.base._protocol import ErrorCode
from velmora.base._rest.client import (
    AuthenticationNeeded,
    LockedByOtherClient,
    PermissionDenied,
    RestError,
)

from rest_doubles import API, GOOD, http_answer, json_answer
from test_rest_field import AUTO, client_for, ip_base, listing

FORBIDDEN = json_answer({"code": 150, "message": "Permission denied"}, 403)
LOCKED = json_answer({"code": 104, "message": "Action locked by another client"}, 400)
DEACTIVATED = {
    "/masters/1/ports": json_answer([{"portNumber": p, "statusInfo": "DEACTIVATED", "deviceAlias": f"master1port{p}"}
                                     for p in (1, 2)]),
    "/masters/1/ports/1/configuration": json_answer({"mode": "DEACTIVATED", "deviceAlias": "master1port1"}),
    "/masters/1/ports/2/configuration": json_answer({"mode": "DEACTIVATED", "deviceAlias": "master1port2"}),
}


# ---------------------------------------------------------------- errors by code


def test_every_error_code_has_words_and_104_names_another_client():
    assert {101, 102, 103, 104, 105, 106, 150, 151, 307, 308, 401, 503, 605, 703} <= set(ErrorCode)
    assert all(code.words and code.message and 400 <= code.status < 600 for code in ErrorCode)
    assert "another client" in ErrorCode.ACTION_LOCKED.words and ErrorCode.AUTHENTICATION_INVALID.status == 401
    assert ErrorCode.of(104) is ErrorCode.ACTION_LOCKED and ErrorCode.of(999) is None and ErrorCode.of("104") is None


@pytest.mark.parametrize("answer, kind, words", [
    (http_answer(401, "", 'WWW-Authenticate: Basic realm="IO-Link Master"\r\n'), AuthenticationNeeded, "HTTP 401"),
    (json_answer({"code": 151, "message": "Authentication information is missing or invalid"}, 401),
     AuthenticationNeeded, "[151]"),
    (FORBIDDEN, PermissionDenied, "[150] Permission denied (the master's user management does not allow it)"),
    (LOCKED, LockedByOtherClient, "[104] Action locked by another client (another client, such as the fieldbus"),
    (json_answer({"code": 103, "message": "Operation not supported"}, 404), RestError,
     "[103] Operation not supported (this master does not offer that request)"),
    (json_answer({"code": 4711, "message": "Vendor's own"}, 500), RestError, "HTTP 500 X: [4711] Vendor's own"),
])
def test_error_answers_are_typed_errors_in_words(raw_master, answer, kind, words):
    master = raw_master({"/gateway/identification": answer})
    client = client_for(master.address)
    with pytest.raises(RestError) as caught:
        client.get("/gateway/identification")
    client.end()
    assert type(caught.value) is kind and not caught.value.link
    assert str(caught.value).startswith(f"Master {master.address}: GET {API}/gateway/identification: HTTP ")
    assert words in str(caught.value)


# ---------------------------------------------------------------- writes the master refuses


@pytest.mark.parametrize("refusal, why", [
    (FORBIDDEN, "HTTP 403 X: [150] Permission denied"),
    (LOCKED, "HTTP 400 X: [104] Action locked by another client"),
    (json_answer({"code": 205, "message": "JSON data value out of range"}, 400), "[205]"),
])
def test_a_refused_write_is_one_warning_and_the_ports_stay_as_they_are(raw_master, warnings_seen, refusal, why):
    master = raw_master({**DEACTIVATED, "POST /masters/1/ports/1/configuration": refusal})
    with ip_base() as base:
        modes, devices = listing(base, master.address, AUTO)
    assert [m.activated() for m in modes] == [False, False] and devices == []
    assert [m for m, _ in master.requests].count("POST") == 1  # no second port tried
    [line] = warnings_seen.lines
    assert line.startswith(f"velmora.base: Master {master.address} port 1: not switched to IOLINK_AUTOSTART, "
                           f"the master refused POST {API}/masters/1/ports/1/configuration: ")
    assert why in line and line.endswith("its ports are listed as they are")


def test_an_identification_without_names_of_vendor_or_product_has_empty_ones(raw_master):
    master = raw_master({"/devices/master1port1/identification": json_answer({"vendorId": 26, "deviceId": 42,
                                                                              "serialNumber": "S1"})})
    with ip_base() as base:
        _, [(_, _, _, ident)] = listing(base, master.address)
    assert (ident["vendorName"], ident["productName"], ident["serialNumber"], ident["productText"]) == ("", "", "S1",
                                                                                                      None)
    assert GOOD["/devices/master1port1/identification"]["vendorName"] == "Stub sensors"
