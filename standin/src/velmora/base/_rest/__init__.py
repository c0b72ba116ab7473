"""Masters reached over the JSON-for-IO-Link REST API, behind the IP
transport.  One module per job:

- ``settings``: REST hosts and time limits (installation, environment);
- ``client``: one request in, JSON or a ``RestError`` out (over ``.._http``);
- ``resources``: readers of the API's resources, their values checked;
- ``master``: master sessions (``RestMaster``, a ``MasterLink``);
- ``transport``: the IP transport, routing an address to the in-process
  emulation or to REST, and discovery.
"""

from .client import Client, RestError
from .master import RestMaster
from .resources import MAX_PORTS
from .settings import DEFAULT_TIMEOUTS, ENV_HOSTS, ENV_TIMEOUTS, Settings
from .transport import DISCOVERY_WORKERS, IpTransport

__all__ = ["DEFAULT_TIMEOUTS", "DISCOVERY_WORKERS", "ENV_HOSTS", "ENV_TIMEOUTS", "MAX_PORTS", "Client", "IpTransport",
           "RestError", "RestMaster", "Settings"]
