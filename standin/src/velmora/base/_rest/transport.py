"""The IP transport: in-process masters of the installation, and masters
reached over the JSON-for-IO-Link REST API (paths under ``/iolink/v1``).

Which one an address means:

1. an address of an IP master in the installation: the in-process master;
2. ``host:port``, ``http(s)://...``, or a plain host listed in the REST hosts
   (or in one of their address ranges): a master over REST (see ``_address``);
3. anything else: no master (as before: a plain unknown address never
   leaves the process); an address that looks meant as a REST address and
   cannot be one (a malformed URL, a bad port) gets a warning.

``discover()`` lists the in-process IP masters first, then every REST host
that answers as a master, in the order listed; the hosts are probed
concurrently.  The REST hosts and the timeouts come from the installation's
``rest`` object; the environment variables of ``settings`` replace them.

A host that fails discovery is skipped with one warning.

Each base driver reads its REST masters ahead of the listing
(``read_ahead()``, see ``readahead``).
"""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from .._address import address_problem, host_range, parse_target, split_master
from .._backend import MasterLink, TransportBackend
from .._http import ca_problem, current_stop
from .._log import warn
from .client import (
    AuthenticationNeeded,
    Auth,
    CertificateRefused,
    CheckAborted,
    Client,
    PermissionDenied,
    RestError,
)
from .master import RestMaster
from .readahead import ReadAhead
from .resources import MAX_GATEWAY_MASTERS
from .settings import Settings

DISCOVERY_WORKERS = 32  # hosts probed at the same time


def not_found(error: RestError) -> str:
    """The warning for an address where no master could be read."""
    if isinstance(error, (AuthenticationNeeded, PermissionDenied, CertificateRefused)):
        return f"IP discovery: {error}"  # a master, that does not let this client in
    return f"IP discovery: no master found: {error}"


class IpTransport(TransportBackend):
    """The IP transport: in-process masters first, then masters over REST."""

    name = "IP"

    def __init__(self, plant: Callable[[], Any], environ: Mapping[str, str] = os.environ,
                 workers: int = DISCOVERY_WORKERS):
        self._plant = plant  # the live emulated plant (rebuilt on reset)
        self._environ = environ
        self._workers = workers

    def _emulated(self) -> TransportBackend:
        transport: TransportBackend = self._plant().transports["IP"]
        return transport

    def _installed(self, address: object) -> bool:
        return any(m.address == address for m in self._plant().installation.masters_of("IP"))

    def settings(self) -> Settings:
        return Settings.load(self._plant().installation, self._environ, current_stop())

    def availability(self) -> tuple[bool, str]:
        return self._emulated().availability()

    def read_ahead(self) -> ReadAhead:
        """A read-ahead for the masters of one base driver."""
        return ReadAhead(self._environ, current_stop())

    def discover(self) -> list[MasterLink]:
        """The in-process masters, then every REST host that answers as a
        master, in the order configured.  The hosts are probed at the same
        time (at most ``workers`` at once).  Each host that is no master gets
        one warning, except that the addresses of a range where nothing
        answers are summed up in one warning per range."""
        links = list(self._emulated().discover())
        settings = self.settings()
        # One probe per gateway, for every master of it, or for those that
        # entries ADDRESS#N name.
        wanted: dict[str, set[int] | None] = {}
        hosts: list[tuple[str, str]] = []  # (entry, gateway address)
        for entry, address in settings.addresses():
            if self._installed(address):
                continue
            gateway, number = split_master(address)
            if gateway not in wanted:
                wanted[gateway] = set()
                hosts.append((entry, gateway))
            numbers = wanted[gateway]
            if numbers is not None and number is not None:
                numbers.add(number)
            else:
                wanted[gateway] = None
        if not hosts:
            return links
        if (problem := ca_problem()) is not None:
            skipped = [gateway for _, gateway in hosts if self._needs_ca(gateway, settings, True)]
            if skipped:
                hosts = [host for host in hosts if host[1] not in skipped]
                warn(f"IP discovery: {problem}; {len(skipped)} https master(s) that need it are not checked "
                     f"(first: {skipped[0]})")

        clients: list[Client] = []  # the probes' clients, interrupted on Ctrl-C

        def probe(host: tuple[str, str]) -> tuple[list[RestMaster], list[str]] | RestError:
            try:
                return self._gateway(host[1], settings, True, wanted[host[1]],
                                     swept=host_range(host[0]) is not None, clients=clients)
            except RestError as exc:
                return exc

        pool = ThreadPoolExecutor(max_workers=min(self._workers, len(hosts)), thread_name_prefix="rest-discovery")
        try:
            results = list(pool.map(probe, hosts))
        except BaseException:  # Ctrl-C: the probes under way end at once, no thread stays
            pool.shutdown(wait=False, cancel_futures=True)
            for client in clients:
                client.connection.interrupt()
            raise
        finally:
            pool.shutdown(wait=True)
        if settings.stop.is_set():  # aborted: what failed, failed by the abort
            return links
        # Warnings in host order: a range's summary where its first address is.
        warnings: list[tuple[int, str]] = []
        unanswered: dict[str, list[RestError]] = {}
        listed = {link.address for link in links}
        for i, ((entry, address), result) in enumerate(zip(hosts, results, strict=True)):
            if isinstance(result, tuple):
                masters, problems = result
                links.extend(m for m in masters if m.address not in listed)
                listed.update(m.address for m in masters)
                warnings.extend((i, problem) for problem in problems)
            elif entry != address and result.link:
                if entry not in unanswered:
                    unanswered[entry] = []
                    warnings.append((i, entry))
                unanswered[entry].append(result)
            else:
                warnings.append((i, not_found(result)))
        for _, text in sorted(warnings):
            if text in unanswered:
                errors = unanswered[text]
                total = sum(1 for e, _ in hosts if e == text)
                text = f"IP discovery: {text}: no master at {len(errors)} of {total} addresses (first: {errors[0]})"
            warn(text)
        return links

    def find(self, address: str) -> MasterLink | None:
        """The master at address: an in-process one, else over REST.  A
        gateway's address gives its first master, with one warning naming
        the addresses of the others when it has several."""
        if self._installed(address):
            return self._emulated().find(address)
        settings = self.settings()
        try:
            gateway, number = split_master(address)
        except ValueError as exc:
            warn(f"IP: {address!r} is not a master address: {exc}")
            return None
        if parse_target(gateway, plain=settings.listed(gateway)) is None:
            if problem := address_problem(gateway):
                warn(f"IP: {address!r} is not a master address: {problem}")
            return None
        if self._needs_ca(gateway, settings, settings.listed(gateway)) and (problem := ca_problem()) is not None:
            warn(f"IP: {problem}; the https master {address} is not checked")
            return None
        try:
            masters, problems = self._gateway(gateway, settings, settings.listed(gateway),
                                              None if number is None else {number})
        except RestError as exc:
            if not isinstance(exc, CheckAborted):
                warn(not_found(exc))
            return None
        if number is None and len(masters) > 1:
            others = ", ".join(m.address for m in masters[1:])
            problems.insert(0, f"IP: {address} is a gateway with {len(masters)} IO-Link masters: {address} is its "
                               f"master {masters[0].number}; give the others' addresses to check them: {others}")
        for problem in problems:
            warn(problem)
        return masters[0] if masters else None

    @staticmethod
    def _needs_ca(gateway: str, settings: Settings, plain: bool) -> bool:
        """True for an https gateway whose certificate is checked against
        the CA certificates (one not pinned)."""
        target = parse_target(gateway, plain=plain)
        return target is not None and target.scheme == "https" and not settings.pinned(target.host, target.port)

    @staticmethod
    def _gateway(gateway: str, settings: Settings, plain: bool, numbers: set[int] | None,
                 swept: bool = False, clients: list[Client] | None = None) -> tuple[list[RestMaster], list[str]]:
        """The masters of the gateway at a REST address (all, or those of
        the numbers given) and warnings for those that cannot be read or
        are not there; raises RestError when the gateway cannot be read.
        ``swept``: the address comes from an address range (no default
        credentials for it); ``clients`` gets the client that reads the
        gateway."""
        target = parse_target(gateway, plain=plain)
        assert target is not None  # checked by the caller, or when the hosts were loaded
        auth = Auth(target.host, settings.credential(target.host, swept))
        client = Client(gateway, target, settings, auth)
        if clients is not None:
            clients.append(client)
        masters, errors, count = RestMaster.gateway(client, numbers)
        if numbers is None:
            bound = [f"IP discovery: {gateway}: the gateway lists {count} IO-Link masters; only the first "
                     f"{MAX_GATEWAY_MASTERS} are checked (at most {MAX_GATEWAY_MASTERS} behind one address)"
                     ] if count > MAX_GATEWAY_MASTERS else []
            return masters, bound + [not_found(exc) for exc in errors]
        there = {m.number for m in masters}
        listed = ", ".join(str(m.number) for m in masters)
        return [m for m in masters if m.number in numbers], [
            f"IP discovery: no master found: {gateway}#{n}: the gateway has no IO-Link master {n} (its masters: {listed})"
            for n in sorted(numbers - there)]
