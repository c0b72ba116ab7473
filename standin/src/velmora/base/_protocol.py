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
INCORRECT_DEVICE = "INCORRECT_DEVICE"
# States in which a port switched to IO-Link has not settled yet.
STARTING = (DEVICE_STARTING, "DEACTIVATED")
# Port states in which a device answers for its identification.
DEVICE_THERE = (DEVICE_ONLINE, INCORRECT_DEVICE)
# Port states that say nothing is wrong.
PORT_FINE = (DEVICE_ONLINE, "DEACTIVATED", "DIGITAL_INPUT_C/Q", "DIGITAL_OUTPUT_C/Q")
# What a port's state means, for the states that tell of a fault.
PORT_FAULTS = {
    "NOT_AVAILABLE": "not available (the master cannot use the port)",
    DEVICE_STARTING: "device still starting, not listed",
    "PORT_POWER_OFF": "port power switched off (port power off)",
    "PAIRING_FAULT": "wireless device not paired (pairing fault)",
    "PORT_DIAG": "the master reports a fault of the port (port diagnosis)",
}


def port_fault(status: str | None, iolink: bool, expected: tuple[int, int] | None) -> tuple[str, str] | None:
    """(level, words) for a port whose state tells of a fault, None for one
    that is fine.  ``iolink``: the port is in an IO-Link mode; ``expected``:
    the (vendorId, deviceId) its validation expects.  A port in IO-Link mode
    where no device is expected and none answers is an empty port (level
    "info"): the description reports it as communication lost too."""
    wanted = f"0x{expected[0]:04x}/0x{expected[1]:04x}" if expected else None
    if status is None or status in PORT_FINE:
        return None
    if status == COMMUNICATION_LOST:
        if wanted:
            return "warning", f"expected device {wanted} does not answer (communication lost)"
        return ("info", "no device answers (communication lost)") if iolink else None
    if status == INCORRECT_DEVICE:
        if wanted:
            return "warning", f"holds another device than the expected {wanted} (incorrect device)"
        return "warning", "holds a device that the master does not accept (incorrect device)"
    return "warning", PORT_FAULTS.get(status, f"unknown port state {status!r}")

# Value ranges of the description.
MAX_VENDOR_ID = 0xFFFF  # vendorId: 1..65535
MAX_DEVICE_ID = 0xFFFFFF  # device deviceId: 1..16777215 (24 bits)
MAX_MASTER_ID = 0xFFFFFFFF  # masterId: 1..4294967295
MAX_MASTER_NUMBER = 0x7FFFFFFF  # masterNumber: at least 1


def default_alias(master: int, port: int) -> str:
    """The deviceAlias of a port that was given none."""
    return f"master{master}port{port}"


class ErrorCode(IntEnum):
    """The API's error codes, each with its HTTP status, the description's
    message (``{"code": 303, "message": "portNumber not found"}`` with
    status 404) and words that tell a user what it means for them."""

    status: int
    message: str
    words: str

    def __new__(cls, code: int, status: int, message: str, words: str) -> Self:
        member = int.__new__(cls, code)
        member._value_ = code
        member.status = status
        member.message = message
        member.words = words
        return member

    INTERNAL_SERVER_ERROR = 101, 500, "Internal server error", "the master failed inside"
    INTERNAL_COMMUNICATION_ERROR = 102, 500, "Internal communication error", \
        "the master could not reach its IO-Link part"
    OPERATION_NOT_SUPPORTED = 103, 404, "Operation not supported", "this master does not offer that request"
    ACTION_LOCKED = 104, 400, "Action locked by another client", \
        "another client, such as the fieldbus controller, holds the master"
    IODD_NOT_SUPPORTED = 105, 501, "IODD feature not supported", "this master keeps no device descriptions"
    MQTT_NOT_SUPPORTED = 106, 501, "MQTT feature not supported", "this master does not speak MQTT"
    PERMISSION_DENIED = 150, 403, "Permission denied", "the master's user management does not allow it"
    AUTHENTICATION_INVALID = 151, 401, "Authentication information is missing or invalid", \
        "the master needs a user name and password, or did not accept the ones given"
    JSON_PARSING_FAILED = 201, 400, "JSON parsing failed", "the master could not read the request"
    JSON_VALUE_INVALID = 202, 400, "JSON data value invalid", "the master does not accept a value of the request"
    JSON_TYPE_INVALID = 203, 400, "JSON data type invalid", "the master does not accept a value of the request"
    ENUMERATION_VALUE_UNKNOWN = 204, 400, "Enumeration value unknown", "the master does not know a value of the request"
    VALUE_OUT_OF_RANGE = 205, 400, "JSON data value out of range", "a value of the request is out of the master's range"
    VALUE_OUT_OF_BOUNDS = 206, 400, "JSON data value out of bounds", "a value of the request is too large for the master"
    DEVICE_ALIAS_NOT_UNIQUE = 207, 400, "deviceAlias is not unique", "another port of the master has that name"
    POST_WITHOUT_CONTENT = 208, 400, "POST request without content", "the request reached the master empty"
    RESOURCE_NOT_FOUND = 301, 404, "Resource not found", "this master does not know that request"
    MASTER_NUMBER_NOT_FOUND = 302, 404, "masterNumber not found", "the gateway has no IO-Link master of that number"
    PORT_NUMBER_NOT_FOUND = 303, 404, "portNumber not found", "the master has no port of that number"
    DEVICE_ALIAS_NOT_FOUND = 304, 404, "deviceAlias not found", "the master has no device of that name"
    QUERY_NAME_INVALID = 305, 400, "Query parameter name invalid", "the master does not know an option of the request"
    QUERY_VALUE_INVALID = 306, 400, "Query parameter value invalid", \
        "the master does not accept an option of the request"
    PORT_NOT_IOLINK = 307, 400, "Port is not configured to IO-Link", "the port is not in IO-Link mode"
    DEVICE_NOT_ACCESSIBLE = 308, 404, "IO-Link Device is not accessible", "no device answers on the port"
    PARAMETER_NOT_FOUND = 309, 404, "IO-Link parameter not found", "the device has no such parameter"
    PARAMETER_ACCESS_NOT_SUPPORTED = 310, 404, "IO-Link parameter access not supported by the device", \
        "the device does not allow that access to the parameter"
    PARAMETER_ACCESS_ERROR = 311, 400, "IO-Link parameter access error", "the device refused the parameter access"
    PARAMETER_NAME_NOT_UNIQUE = 312, 404, "IO-Link parameter name is not unique", \
        "the device description names several parameters so"
    DATA_STORAGE_MISMATCH = 401, 400, "Data storage mismatch", "the port's stored device data belong to another device"
    IQ_NOT_DIGITAL_OUTPUT = 501, 400, "I/Q is not configured as DIGITAL_OUTPUT", "the I/Q pin is not an output"
    CQ_NOT_DIGITAL_OUTPUT = 502, 400, "C/Q is not configured as DIGITAL_OUTPUT", "the C/Q pin is not an output"
    NO_OUTPUT_DATA = 503, 400, "IO-Link Device has no output process data", "the device takes no output data"
    IODD_NOT_AVAILABLE = 601, 400, "IODD (representation) for this IO-Link device is not available", \
        "the master has no description of the device"
    IODD_NO_MEMORY = 602, 500, "IODD upload failed. Not enough memory", "the master has no room for the description"
    IODD_XML_INVALID = 603, 400, "IODD upload failed. IODD XML invalid", "the device description is not valid"
    IODD_CRC_ERROR = 604, 400, "IODD upload failed. CRC error", "the device description is damaged"
    IODD_PARSING_ERROR = 605, 400, "IODD upload failed. Parsing error", "the master could not read the description"
    DATA_SET_INCOMPLETE = 701, 400, "Data set incomplete", "values that belong together were not all given"
    DATA_SET_NOT_APPLICABLE = 702, 400, "Data set not applicable", "the values do not apply in this state"
    DATA_SET_INCOMPATIBLE = 703, 400, "Data set combination incompatible", "the values do not fit together"

    @classmethod
    def of(cls, code: object) -> ErrorCode | None:
        """The member for an API error code, None for one the description does not know."""
        return cls._value2member_map_.get(code) if type(code) is int else None  # type: ignore[return-value]


# Codes that mean "no device to read on this port".
NO_DEVICE_CODES = (ErrorCode.PORT_NOT_IOLINK, ErrorCode.DEVICE_NOT_ACCESSIBLE)
