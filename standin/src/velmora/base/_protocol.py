"""The vocabulary of the IO-Link REST API "JSON Integration for IO-Link":
base path, port modes and states, the API's error codes, value ranges.

The REST client (``_rest``), the emulated masters (``_emulation``) and their
HTTP face (``server``) all speak it from here, so a name or a code is written
once.  Installation modes (``IOLINK``, ``DI``, ``DO``, ``DEACTIVATED``, see
``_installation``) are the driver library's own terms; the API's are mapped
to them below.
"""

from __future__ import annotations

from enum import IntEnum
from typing import Self

API_BASE = "/iolink/v1"

# Port configuration "mode" values, and the installation mode each one means.
API_PORT_MODES = ("DEACTIVATED", "IOLINK_MANUAL", "IOLINK_AUTOSTART", "DIGITAL_INPUT", "DIGITAL_OUTPUT")
MODE_OF_API = {
    "IOLINK_MANUAL": "IOLINK",
    "IOLINK_AUTOSTART": "IOLINK",
    "DIGITAL_INPUT": "DI",
    "DIGITAL_OUTPUT": "DO",
    "DEACTIVATED": "DEACTIVATED",
}
# The API mode written for an installation mode.
API_MODE = {"IOLINK": "IOLINK_AUTOSTART", "DI": "DIGITAL_INPUT", "DO": "DIGITAL_OUTPUT", "DEACTIVATED": "DEACTIVATED"}
IOLINK_API_MODES = ("IOLINK_MANUAL", "IOLINK_AUTOSTART")

IQ_CONFIGURATIONS = ("NOT_SUPPORTED", "DIGITAL_INPUT", "DIGITAL_OUTPUT", "POWER_2")
VALIDATION_AND_BACKUP = (
    "NO_DEVICE_CHECK",
    "TYPE_COMPATIBLE_DEVICE_V1.0",
    "TYPE_COMPATIBLE_DEVICE_V1.1",
    "TYPE_COMPATIBLE_DEVICE_V1.1_BACKUP_AND_RESTORE",
    "TYPE_COMPATIBLE_DEVICE_V1.1_RESTORE",
)

# Port "statusInfo" values.
DEVICE_ONLINE = "DEVICE_ONLINE"
DEVICE_STARTING = "DEVICE_STARTING"
COMMUNICATION_LOST = "COMMUNICATION_LOST"
# The status of a port that is not in an IO-Link mode.
STATUS_OF_MODE = {"DEACTIVATED": "DEACTIVATED", "DIGITAL_INPUT": "DIGITAL_INPUT_C/Q",
                  "DIGITAL_OUTPUT": "DIGITAL_OUTPUT_C/Q"}
# States in which a port switched to IO-Link has not settled yet.
STARTING = (DEVICE_STARTING, "DEACTIVATED")

# Value ranges of the description.
MAX_VENDOR_ID = 0xFFFF  # vendorId: 1..65535
MAX_DEVICE_ID = 0xFFFFFF  # device deviceId: 1..16777215 (24 bits)
MAX_MASTER_ID = 0xFFFFFFFF  # masterId: 1..4294967295


def default_alias(master: int, port: int) -> str:
    """The deviceAlias of a port that was given none."""
    return f"master{master}port{port}"


class ErrorCode(IntEnum):
    """The API's error codes, each with its HTTP status and message
    (``{"code": 303, "message": "portNumber not found"}`` with status 404)."""

    status: int
    message: str

    def __new__(cls, code: int, status: int, message: str) -> Self:
        member = int.__new__(cls, code)
        member._value_ = code
        member.status = status
        member.message = message
        return member

    INTERNAL_SERVER_ERROR = 101, 500, "Internal server error"
    INTERNAL_COMMUNICATION_ERROR = 102, 500, "Internal communication error"
    OPERATION_NOT_SUPPORTED = 103, 404, "Operation not supported"
    IODD_NOT_SUPPORTED = 105, 501, "IODD feature not supported"
    MQTT_NOT_SUPPORTED = 106, 501, "MQTT feature not supported"
    JSON_PARSING_FAILED = 201, 400, "JSON parsing failed"
    JSON_VALUE_INVALID = 202, 400, "JSON data value invalid"
    JSON_TYPE_INVALID = 203, 400, "JSON data type invalid"
    ENUMERATION_VALUE_UNKNOWN = 204, 400, "Enumeration value unknown"
    VALUE_OUT_OF_RANGE = 205, 400, "JSON data value out of range"
    VALUE_OUT_OF_BOUNDS = 206, 400, "JSON data value out of bounds"
    DEVICE_ALIAS_NOT_UNIQUE = 207, 400, "deviceAlias is not unique"
    POST_WITHOUT_CONTENT = 208, 400, "POST request without content"
    RESOURCE_NOT_FOUND = 301, 404, "Resource not found"
    MASTER_NUMBER_NOT_FOUND = 302, 404, "masterNumber not found"
    PORT_NUMBER_NOT_FOUND = 303, 404, "portNumber not found"
    DEVICE_ALIAS_NOT_FOUND = 304, 404, "deviceAlias not found"
    PORT_NOT_IOLINK = 307, 400, "Port is not configured to IO-Link"
    DEVICE_NOT_ACCESSIBLE = 308, 404, "IO-Link Device is not accessible"


# Codes that mean "no device to read on this port".
NO_DEVICE_CODES = (ErrorCode.PORT_NOT_IOLINK, ErrorCode.DEVICE_NOT_ACCESSIBLE)
