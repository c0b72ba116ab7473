"""The REST transport's settings: the REST hosts and the time limits, from
the installation's ``rest`` object, replaced by the environment variables;
and the credentials of masters with user management, from the netrc file
(``NETRC``, else ``~/.netrc``: ``machine HOST login USER password PASS``).

A password or token never appears in any output: no repr, message or
error here shows one (a netrc parse error of the standard library quotes
the offending token, so only its file and line are passed on).

A netrc file that cannot be used (other tools' files may hold what this
parser refuses) stops no check: its problem is kept and told with the
warning of a master that asks for credentials."""

from __future__ import annotations

import netrc
import os
from collections.abc import Mapping
from dataclasses import dataclass, field

from .._address import host_range, parse_target, split_master
from .._errors import IoddError
from .._http import Stop
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


ENV_NETRC = "NETRC"
ENV_PINS = "VELMORA_BASE_REST_PINS"


def pin(text: str) -> str:
    """A SHA-256 fingerprint as given (hex, colons optional, any case) in
    the form masters display it, AB:CD:...; raises ValueError."""
    digits = text.strip().replace(":", "").upper()
    if len(digits) != 64 or any(c not in "0123456789ABCDEF" for c in digits):
        raise ValueError(f"{text.strip()!r} is not a SHA-256 fingerprint (64 hex digits, colons optional)")
    return ":".join(digits[i:i + 2] for i in range(0, 64, 2))


def parse_pins(text: str) -> dict[str, frozenset[str]]:
    """``HOST[:PORT]=SHA256,...`` -> {HOST[:PORT]: fingerprints}; raises ValueError."""
    pins: dict[str, set[str]] = {}
    for entry in filter(None, (e.strip() for e in text.split(","))):
        host, mark, value = entry.partition("=")
        if not mark or not host.strip():
            raise ValueError(f"{entry!r} is not HOST[:PORT]=SHA256")
        pins.setdefault(host.strip().casefold(), set()).add(pin(value))
    return {host: frozenset(values) for host, values in pins.items()}


class Credential:
    """A user name and a password (or a bearer token) for one host; its repr
    and text show neither."""

    __slots__ = ("login", "secret")

    def __init__(self, login: str, secret: str):
        self.login = login
        self.secret = secret

    def __repr__(self) -> str:
        return "<Credential (hidden)>"

    __str__ = __repr__


class Netrc:
    """The machine entries of a netrc file.  ``default`` is used only for a
    host given one by one, never for one found by sweeping an address range:
    a host on the network that asks for credentials must not harvest them."""

    def __init__(self, path: str, machines: Mapping[str, Credential], default: Credential | None):
        self.path = path
        self._machines = {name.casefold(): c for name, c in machines.items()}
        self._default = default

    def __repr__(self) -> str:
        return f"<Netrc {self.path!r}: {len(self._machines)} machine(s)>"

    @classmethod
    def load(cls, environ: Mapping[str, str]) -> Netrc | None:
        """The netrc file named by NETRC, else ~/.netrc; None when there is
        none.  Raises IoddError naming the file (and line) of one that
        cannot be read, never its content."""
        path = environ.get(ENV_NETRC, "") or os.path.join(os.path.expanduser("~"), ".netrc")
        if not os.path.isfile(path):
            if environ.get(ENV_NETRC):
                raise IoddError(f"{ENV_NETRC}: no netrc file {path!r}")
            return None
        try:
            parsed = netrc.netrc(path)
        except netrc.NetrcParseError as exc:
            raise IoddError(f"netrc file {path!r}: line {exc.lineno}: not understood (the line is not shown: "
                            "it may hold a password)") from None
        except OSError as exc:
            raise IoddError(f"netrc file {path!r}: cannot be read: {exc.strerror}") from None
        except Exception:  # anything else the parser may raise: its words may quote the file
            raise IoddError(f"netrc file {path!r}: not understood") from None
        machines = {name: Credential(login, password) for name, (login, _, password) in parsed.hosts.items()
                    if name != "default" and password}
        login, _, password = parsed.hosts.get("default", ("", "", ""))
        return cls(path, machines, Credential(login, password) if password else None)

    def credential(self, host: str, swept: bool) -> Credential | None:
        """The credentials for host; ``swept``: the host was found by
        sweeping an address range (no default entry then)."""
        found = self._machines.get(host.casefold())
        return found if found is not None or swept else self._default


@dataclass(frozen=True)
class Settings:
    hosts: tuple[str, ...]  # entries as configured: hosts, URLs, address ranges
    connect_timeout: float
    read_timeout: float
    request_timeout: float
    session_timeout: float
    startup_timeout: float
    netrc: Netrc | None = field(default=None, repr=False, compare=False)
    netrc_problem: str | None = field(default=None, repr=False, compare=False)  # why the netrc file is not used
    pins: Mapping[str, frozenset[str]] = field(default_factory=dict)  # HOST[:PORT] -> fingerprints
    # The abort of the base driver that loaded these settings: every
    # connection made with them ends its requests once it is set.
    stop: Stop = field(default_factory=Stop, repr=False, compare=False)

    @classmethod
    def load(cls, installation: Installation, environ: Mapping[str, str] = os.environ,
             stop: Stop | None = None) -> Settings:
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
        try:
            credentials, problem = Netrc.load(environ), None
        except IoddError as exc:
            credentials, problem = None, str(exc)
        return cls(hosts, seconds["connectTimeout"], seconds["readTimeout"], seconds["requestTimeout"],
                   seconds["sessionTimeout"], seconds["startupTimeout"], credentials, problem,
                   cls._pins(installation, environ), stop or Stop())

    @staticmethod
    def _pins(installation: Installation, environ: Mapping[str, str]) -> dict[str, frozenset[str]]:
        pins = {host.casefold(): frozenset(pin(v) for v in values) for host, values in installation.rest.pins.items()}
        if ENV_PINS in environ:
            try:
                pins = parse_pins(environ[ENV_PINS])
            except ValueError as exc:
                raise IoddError(f"{ENV_PINS}: {exc}") from None
        return pins

    def pinned(self, host: str, port: int) -> frozenset[str]:
        """The fingerprints pinned for a host: those for HOST:PORT, else for HOST."""
        name = f"[{host}]" if ":" in host else host
        return self.pins.get(f"{name}:{port}".casefold()) or self.pins.get(name.casefold()) or frozenset()

    def credential(self, host: str, swept: bool = False) -> Credential | None:
        return self.netrc.credential(host, swept) if self.netrc else None

    def addresses(self) -> list[tuple[str, str]]:
        """(entry, address) for every REST host, ranges expanded, in order."""
        return [(entry, address) for entry in self.hosts for address in host_range(entry) or [entry]]

    def listed(self, address: str) -> bool:
        """True for an address among the REST hosts (a gateway's, for
        ``ADDRESS#N``) or their ranges."""
        return any(address in (entry, split_master(entry)[0]) for entry in self.hosts) or any(
            address == a for e, a in self.addresses() if e != a)
