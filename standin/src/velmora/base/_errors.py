"""Exceptions raised by the driver library."""


class IoddError(Exception):
    """Any failure reported by the driver library (master refused, link lost, ...)."""


class InstallationError(IoddError, ValueError):
    """The emulated installation (a JSON file or a dict) is malformed.

    The message names the source, the place inside it and the problem, e.g.
    ``/tmp/plant.json: masters[2].ports[0].mode: unknown mode 'FOO' (...)``.
    ``source``, ``where`` and ``problem`` keep the three parts separately.
    """

    def __init__(self, source: str, where: str, problem: str):
        self.source = source
        self.where = where
        self.problem = problem
        text = f"{source}: {where}: {problem}" if where else f"{source}: {problem}"
        super().__init__(text)


class WorkAborted(IoddError):
    """A call that failed only because the application aborted its work
    (``IoddUtility.abort()``): no fault of the master, and no warning."""
