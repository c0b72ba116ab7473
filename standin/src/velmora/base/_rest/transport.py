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

from .._address import address_problem, parse_target
from .._backend import MasterLink, TransportBackend
from .._log import warn
from .client import Client, RestError
from .master import RestMaster
from .readahead import ReadAhead, workers
from .settings import Settings

DISCOVERY_WORKERS = 32  # hosts probed at the same time


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
        return Settings.load(self._plant().installation, self._environ)

    def availability(self) -> tuple[bool, str]:
        return self._emulated().availability()

    def read_ahead(self) -> ReadAhead:
        """A read-ahead for the masters of one base driver."""
        return ReadAhead(self.settings().request_timeout, workers(self._environ))

    def discover(self) -> list[MasterLink]:
        """The in-process masters, then every REST host that answers as a
        master, in the order configured.  The hosts are probed at the same
        time (at most ``workers`` at once).  Each host that is no master gets
        one warning, except that the addresses of a range where nothing
        answers are summed up in one warning per range."""
        links = list(self._emulated().discover())
        settings = self.settings()
        hosts = [(entry, address) for entry, address in settings.addresses() if not self._installed(address)]
        if not hosts:
            return links

        clients = []
        for _, address in hosts:
            target = parse_target(address, plain=True)
            assert target is not None  # the hosts were checked when loaded
            clients.append(Client(address, target, settings))

        def probe(client: Client) -> RestMaster | RestError:
            try:
                return RestMaster.probe(client)
            except RestError as exc:
                return exc

        pool = ThreadPoolExecutor(max_workers=min(self._workers, len(hosts)), thread_name_prefix="rest-discovery")
        try:
            results = list(pool.map(probe, clients))
        except BaseException:  # Ctrl-C: the probes under way end at once, no thread stays
            pool.shutdown(wait=False, cancel_futures=True)
            for client in clients:
                client.connection.interrupt()
            raise
        finally:
            pool.shutdown(wait=True)
        # Warnings in host order: a range's summary where its first address is.
        warnings: list[tuple[int, str]] = []
        unanswered: dict[str, list[RestError]] = {}
        for i, ((entry, address), result) in enumerate(zip(hosts, results, strict=True)):
            if isinstance(result, RestMaster):
                links.append(result)
            elif entry != address and result.link:
                if entry not in unanswered:
                    unanswered[entry] = []
                    warnings.append((i, entry))
                unanswered[entry].append(result)
            else:
                warnings.append((i, f"IP discovery: no master found: {result}"))
        for _, text in sorted(warnings):
            if text in unanswered:
                errors = unanswered[text]
                total = sum(1 for e, _ in hosts if e == text)
                text = f"IP discovery: {text}: no master at {len(errors)} of {total} addresses (first: {errors[0]})"
            warn(text)
        return links

    def find(self, address: str) -> MasterLink | None:
        if self._installed(address):
            return self._emulated().find(address)
        settings = self.settings()
        target = parse_target(address, plain=settings.listed(address))
        if target is None:
            if problem := address_problem(address):
                warn(f"IP: {address!r} is not a master address: {problem}")
            return None
        try:
            return RestMaster.probe(Client(address, target, settings))
        except RestError as exc:
            warn(f"IP discovery: no master found: {exc}")
            return None
