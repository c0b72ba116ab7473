"""The REST transport's settings: the REST hosts and the time limits, from
the installation's ``rest`` object, replaced by the environment variables."""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass

from .._address import host_range, parse_target, split_master
from .._errors import IoddError
from .._installation import MAX_TIMEOUT, REST_TIMEOUTS, Installation

ENV_HOSTS = "VELMORA_BASE_REST_HOSTS"
ENV_TIMEOUTS = {
    "connectTimeout": "VELMORA_BASE_REST_CONNECT_TIMEOUT",
    "readTimeout": "VELMORA_BASE_REST_READ_TIMEOUT",
    "requestTimeout": "VELMORA_BASE_REST_REQUEST_TIMEOUT",
    "sessionTimeout": "VELMORA_BASE_REST_SESSION_TIMEOUT",
    "startupTimeout": "VELMORA_BASE_REST_STARTUP_TIMEOUT",
}
DEFAULT_TIMEOUTS = {"connectTimeout": 1.0, "readTimeout": 3.0, "requestTimeout": 5.0, "sessionTimeout": 30.0,
                    "startupTimeout": 5.0}


@dataclass(frozen=True)
class Settings:
    hosts: tuple[str, ...]  # entries as configured: hosts, URLs, address ranges
    connect_timeout: float
    read_timeout: float
    request_timeout: float
    session_timeout: float
    startup_timeout: float

    @classmethod
    def load(cls, installation: Installation, environ: Mapping[str, str] = os.environ) -> Settings:
        hosts = installation.rest.hosts
        if ENV_HOSTS in environ:
            hosts = tuple(h.strip() for h in environ[ENV_HOSTS].split(",") if h.strip())
            for host in hosts:
                try:
                    is_range = host_range(host) is not None
                    gateway = host if is_range else split_master(host)[0]
                except ValueError as exc:
                    raise IoddError(f"{ENV_HOSTS}: {host!r}: {exc}") from None
                if not is_range and parse_target(gateway, plain=True) is None:
                    raise IoddError(f"{ENV_HOSTS}: {host!r} is not a host, host:port, http(s) URL or address range")
        seconds = {}
        for key in REST_TIMEOUTS:
            value = installation.rest.timeouts.get(key, DEFAULT_TIMEOUTS[key])
            text = environ.get(ENV_TIMEOUTS[key], "").strip()
            if text:
                try:
                    value = float(text)
                except ValueError:
                    value = -1.0
                if not 0 < value <= MAX_TIMEOUT:
                    raise IoddError(f"{ENV_TIMEOUTS[key]}: expected seconds (more than 0, at most {MAX_TIMEOUT:g}), "
                                    f"got {text!r}")
            seconds[key] = value
        return cls(hosts, seconds["connectTimeout"], seconds["readTimeout"], seconds["requestTimeout"],
                   seconds["sessionTimeout"], seconds["startupTimeout"])

    def addresses(self) -> list[tuple[str, str]]:
        """(entry, address) for every REST host, ranges expanded, in order."""
        return [(entry, address) for entry in self.hosts for address in host_range(entry) or [entry]]

    def listed(self, address: str) -> bool:
        """True for an address among the REST hosts (a gateway's, for
        ``ADDRESS#N``) or their ranges."""
        return any(address in (entry, split_master(entry)[0]) for entry in self.hosts) or any(
            address == a for e, a in self.addresses() if e != a)
