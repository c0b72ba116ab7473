"""Files the front ends save (reports, inventories) are written whole or not
at all: the text goes to a temporary file beside the target, which then
replaces it in one rename.  A failed write leaves an existing file as it was
and no temporary file behind."""

from __future__ import annotations

import os
import stat
import tempfile


def _new_file_mode() -> int:
    """The mode open() gives a new file: 0o666 less the umask."""
    umask = os.umask(0o022)
    os.umask(umask)
    return 0o666 & ~umask


def write_text(path: str | os.PathLike[str], text: str, encoding: str = "utf-8") -> None:
    """Write text to path, replacing the file there (through a symbolic
    link, as open() would); the replaced file's permissions are kept."""
    target = os.path.realpath(path)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = _new_file_mode()
    fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp",
                                     dir=os.path.dirname(target))
    try:
        with os.fdopen(fd, "w", encoding=encoding) as stream:
            stream.write(text)
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
