"""The IP transport: in-process masters of the installation, and masters
reached over the JSON-for-IO-Link REST API (paths under ``/iolink/v1``).

Which one an address means:

1. an address of an IP master in the installation: the in-process master;
2. ``host:port``, ``http(s)://...``: a master over REST (see ``_address``);
3. a plain host (an IPv4 or IPv6 address, a host name): over REST, at
   ``http://HOST`` (port 80), then ``https://HOST`` (port 443) when port 80
   refuses the connection or redirects; the master keeps the address given;
4. anything else (a COM port, a Bluetooth address): no master here; an
   address that looks meant as a REST address and cannot be one (a
   malformed URL, a bad port) gets a warning.

An application that asks for given addresses one after another may tell
the transport the whole list first (``expect``): the first ``find`` of one
of them probes them all at once (``workers`` at a time), and each ``find``
then takes its address's result, with its warnings, in the order asked.
The addresses of an address range where nothing answers are summed up in
one warning, given with the range's last address.

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
import threading
from collections import Counter
from collections.abc import Callable, Mapping
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, Union

from .._address import DEFAULT_PORTS, Target, address_problem, host_range, near_match, parse_target, plain_host, split_master
from .._backend import MasterLink, TransportBackend
from .._http import ca_problem, current_stop
from .._log import quiet, warn
from .client import (
    AuthenticationNeeded,
    Auth,
    CertificateRefused,
    CheckAborted,
    Client,
    LinkError,
    PermissionDenied,
    RestError,
)
from .master import RestMaster
from .readahead import ReadAhead
from .resources import MAX_GATEWAY_MASTERS
from .settings import Settings

DISCOVERY_WORKERS = 32  # hosts probed at the same time

# What probing one address gave: its masters and warnings, or why there is none.
Probe = Union[tuple[list[RestMaster], list[str]], RestError, str]


def not_found(error: RestError) -> str:
    """The warning for an address where no master could be read."""
    if isinstance(error, (AuthenticationNeeded, PermissionDenied, CertificateRefused)):
        return f"IP discovery: {error}"  # a master, that does not let this client in
    return f"IP discovery: no master found: {error}"


def silent_range(entry: str, errors: list[RestError], total: int) -> str:
    """The one warning for the addresses of a range where no master answered."""
    return f"IP discovery: {entry}: no master at {len(errors)} of {total} addresses (first: {errors[0]})"


class IpTransport(TransportBackend):
    """The IP transport: in-process masters first, then masters over REST."""

    name = "IP"

    def __init__(self, plant: Callable[[], Any], environ: Mapping[str, str] = os.environ,
                 workers: int = DISCOVERY_WORKERS):
        self._plant = plant  # the live emulated plant (rebuilt on reset)
        self._environ = environ
        self._workers = workers
        self._lock = threading.Lock()
        self._batch: _Batch | None = None  # addresses expected, probed at once

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
            skipped = [gateway for _, gateway in hosts if self._needs_ca(parse_target(gateway, plain=True), settings)]
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
                text = silent_range(text, errors, sum(1 for e, _ in hosts if e == text))
            warn(text)
        return links

    def expect(self, given: list[tuple[str, str]]) -> None:
        """The (entry, address) pairs an application will ask for next, in
        order (entry: the address range an address comes from, else the
        address); replaces an earlier list, whose probes are stopped."""
        batch = _Batch(given) if given else None
        with self._lock:
            old, self._batch = self._batch, batch
        if old is not None:
            old.close()

    def end_batch(self) -> None:
        """The base driver that asked closes: probes still under way stop."""
        with self._lock:
            batch, self._batch = self._batch, None
        if batch is not None:
            batch.close()

    def _asked_over_rest(self, address: str) -> bool:
        try:
            gateway, _ = split_master(address)
        except ValueError:
            return False
        return not self._installed(address) and not self._installed(gateway) and \
            parse_target(gateway, plain=True) is not None

    def find(self, address: str) -> MasterLink | None:
        """The master at address: an in-process one, else over REST.  A
        gateway's address gives its first master, with one warning naming
        the addresses of the others when it has several.  After the last
        address of a range given to ``expect``: the warning about its
        silent addresses."""
        link = self._find(address)
        with self._lock:
            batch = self._batch
        if batch is not None:
            for problem in batch.summary(address):
                warn(problem)
        return link

    def _find(self, address: str) -> MasterLink | None:
        if self._installed(address):
            return self._emulated().find(address)
        try:
            gateway, number = split_master(address)
        except ValueError as exc:
            warn(f"IP: {address!r} is not a master address: {exc}")
            return None
        if self._installed(gateway) or parse_target(gateway, plain=True) is None:
            if problem := address_problem(gateway):
                warn(f"IP: {address!r} is not a master address: {problem}")
            return None
        with self._lock:
            batch = self._batch
        result: Probe | None = None
        if batch is not None:
            batch.start(self)
            result = batch.take(address)
        if result is None:
            result = self._probe(address, self.settings())
        masters: list[RestMaster] = []
        if isinstance(result, tuple):
            masters, problems = result
        elif isinstance(result, RestError) and result.link and batch is not None and batch.swept(address):
            problems = []
            batch.silent(address, result)
        elif isinstance(result, CheckAborted):  # the check was aborted: nothing to say
            return None
        elif isinstance(result, str):
            problems = [result]
        else:
            problems = [not_found(result)]
            if not isinstance(result, (AuthenticationNeeded, PermissionDenied, CertificateRefused)):
                near = near_match(address, [m.address for m in self._plant().installation.masters_of("IP")])
                if near:
                    problems[0] += f" (did you mean {near!r}?)"
        # The others given as well (the list told to expect()) need no word.
        others = ", ".join(m.address for m in masters[1:] if batch is None or not batch.given(m.address))
        if number is None and others:
            problems.insert(0, f"IP: {address} is a gateway with {len(masters)} IO-Link masters: {address} is its "
                               f"master {masters[0].number}; give the others' addresses to check them: {others}")
        for problem in problems:
            warn(problem)
        return masters[0] if masters else None

    def _probe(self, address: str, settings: Settings, swept: bool = False,
               clients: list[Client] | None = None) -> Probe:
        """Ask the address over REST (a plain host at http://HOST, then at
        https://HOST when port 80 refuses or redirects): its masters and
        warnings, the RestError of an address where no master answered, or
        a warning that says what was tried."""
        gateway, number = split_master(address)
        numbers = None if number is None else {number}
        if self._needs_ca(parse_target(gateway, plain=True), settings) and (problem := ca_problem()) is not None:
            return f"IP: {problem}; the https master {address} is not checked"
        try:
            return self._gateway(gateway, settings, True, numbers, swept, clients)
        except RestError as exc:
            if not plain_host(gateway) or not (exc.problem == "connection refused" or exc.redirect.startswith("https:")):
                return exc
            first = exc
        http = parse_target(gateway, plain=True)
        assert http is not None
        https = Target("https", http.host, DEFAULT_PORTS["https"])
        tried = first.problem if not first.redirect else f"{first.problem} (redirects to {first.redirect})"
        where = f"tried {http.scheme}://{http.place}: {first.what}: {tried}; then https://{https.place}"
        if self._needs_ca(https, settings) and (problem := ca_problem()) is not None:
            return LinkError(address, where, problem)  # not asked: as silent as a refusal
        try:
            return self._gateway(gateway, settings, True, numbers, swept, clients, target=https)
        except RestError as exc:
            if isinstance(exc, (AuthenticationNeeded, PermissionDenied, CertificateRefused)):
                return exc
            kind = LinkError if exc.link else RestError  # nothing answers: a silent address of a range
            return kind(address, where, f"{exc.what}: {exc.problem}")

    @staticmethod
    def _needs_ca(target: Target | None, settings: Settings) -> bool:
        """True for an https target whose certificate is checked against
        the CA certificates (one not pinned)."""
        return target is not None and target.scheme == "https" and not settings.pinned(target.host, target.port)

    @staticmethod
    def _gateway(gateway: str, settings: Settings, plain: bool, numbers: set[int] | None,
                 swept: bool = False, clients: list[Client] | None = None,
                 target: Target | None = None) -> tuple[list[RestMaster], list[str]]:
        """The masters of the gateway at a REST address (all, or those of
        the numbers given) and warnings for those that cannot be read or
        are not there; raises RestError when the gateway cannot be read.
        ``swept``: the address comes from an address range (no default
        credentials for it); ``clients`` gets the client that reads the
        gateway; ``target``: where to ask instead of the address's own."""
        target = target or parse_target(gateway, plain=plain)
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


class _Batch:
    """Addresses an application will ask for one by one, probed at once on
    the first ``find`` of one of them; each result is taken once.  Silent
    addresses of a range are kept for one warning of the range."""

    def __init__(self, given: list[tuple[str, str]]):
        self._given = given
        self._entry = {address: entry for entry, address in given}
        self._total = Counter(entry for entry, _ in given)  # addresses of each entry
        self._left = dict(self._total)
        self._silent: dict[str, list[RestError]] = {}
        self._futures: dict[str, Future[Probe]] = {}
        self._clients: list[Client] = []
        self._pool: ThreadPoolExecutor | None = None
        self._lock = threading.Lock()
        self._closed = False

    def given(self, address: str) -> bool:
        return address in self._entry

    def swept(self, address: str) -> bool:
        entry = self._entry.get(address)
        return entry is not None and entry != address

    def start(self, transport: IpTransport) -> None:
        with self._lock:
            if self._pool is not None or self._closed:
                return
            wanted = [a for _, a in self._given if transport._asked_over_rest(a)]
            if not wanted:
                return
            settings = transport.settings()
            self._pool = ThreadPoolExecutor(max_workers=min(transport._workers, len(wanted)),
                                            thread_name_prefix="rest-given")

            def probe(address: str) -> Probe:
                with quiet():
                    return transport._probe(address, settings, self.swept(address), self._clients)

            for address in wanted:
                self._futures[address] = self._pool.submit(probe, address)

    def take(self, address: str) -> Probe | None:
        with self._lock:
            future = self._futures.pop(address, None)
        if future is None:
            return None
        try:
            return future.result()
        except BaseException:
            if future.cancelled():
                return None
            raise

    def silent(self, address: str, error: RestError) -> None:
        self._silent.setdefault(self._entry[address], []).append(error)

    def summary(self, address: str) -> list[str]:
        """The warning about the silent addresses of a range, once its last
        address was asked."""
        entry = self._entry.get(address)
        if entry is None or entry == address:
            return []
        self._left[entry] -= 1
        errors = self._silent.get(entry)
        if self._left[entry] or not errors:
            return []
        return [silent_range(entry, errors, self._total[entry])]

    def close(self) -> None:
        """Probes not begun are dropped, those under way cut off; no thread
        is left."""
        with self._lock:
            self._closed = True
            pool, self._pool = self._pool, None
            futures, self._futures = self._futures, {}
        if pool is None:
            return
        for future in futures.values():
            future.cancel()
        for client in list(self._clients):
            client.connection.interrupt()
        pool.shutdown(wait=True, cancel_futures=True)
