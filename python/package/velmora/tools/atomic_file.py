"""Files the front ends save (reports, inventories) are written whole or not
at all: the text goes to a temporary file beside the target, which then
replaces it in one rename.  A failed write leaves an existing file as it was
and no temporary file behind."""

from __future__ import annotations

import os
import secrets
import stat


def write_text(path: str | os.PathLike[str], text: str, encoding: str = "utf-8") -> None:
    """Write text to path, replacing the file there (through a symbolic
    link, as open() would).  A new file gets the permissions of any new
    file (the umask applies), a replaced one keeps its own.  OSError when
    that fails; the temporary file is then gone."""
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
    try:
        with os.fdopen(fd, "wb") as stream:
            try:
                mode = stat.S_IMODE(os.stat(target).st_mode)
            except FileNotFoundError:
                pass
            else:
                os.chmod(temporary, mode)
            stream.write(text.encode(encoding))
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
