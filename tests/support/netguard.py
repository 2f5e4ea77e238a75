"""Keeps tests on the loopback interface.

While installed, a socket connect to anything but a loopback address (or a
Unix socket) fails with NetworkGuardError, and names other than "localhost"
do not resolve, so a mis-set proxy can never reach the outside. Attempts are
kept in `blocked`.

As a pytest plugin (pytest_plugins = ["netguard"]) its autouse fixture guards
every test; test modules may also import `network_guard` themselves. Scripts
call install() / uninstall(); they need no pytest for that (an installed copy
of the module in a venv of its own has none).
"""
import ipaddress
import socket

try:
    import pytest
except ImportError:
    pytest = None

blocked = []

_real = {}


class NetworkGuardError(ConnectionRefusedError):
    """A connection the tests may not make."""


def _loopback(host):
    if isinstance(host, bytes):
        host = host.decode("ascii", "replace")
    host = str(host).split("%", 1)[0]
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _check(sock, address):
    if sock.family in (socket.AF_INET, socket.AF_INET6) and not _loopback(address[0]):
        blocked.append(address)
        raise NetworkGuardError(f"netguard: connection to {address!r} refused (loopback only)")


def _connect(self, address):
    _check(self, address)
    return _real["connect"](self, address)


def _connect_ex(self, address):
    _check(self, address)
    return _real["connect_ex"](self, address)


def _getaddrinfo(host, *args, **kwargs):
    if host is not None and not _loopback(host):
        blocked.append((host,) + args[:1])
        raise socket.gaierror(socket.EAI_NONAME, f"netguard: {host!r} not resolved (loopback only)")
    return _real["getaddrinfo"](host, *args, **kwargs)


def install():
    if _real:
        return
    _real.update(connect=socket.socket.connect, connect_ex=socket.socket.connect_ex,
                 getaddrinfo=socket.getaddrinfo,
                 own=[n for n in ("connect", "connect_ex") if n in vars(socket.socket)])
    socket.socket.connect = _connect
    socket.socket.connect_ex = _connect_ex
    socket.getaddrinfo = _getaddrinfo


def uninstall():
    if not _real:
        return
    own = _real.pop("own")
    for name in ("connect", "connect_ex"):
        real = _real.pop(name)
        if name in own:
            setattr(socket.socket, name, real)
        else:
            delattr(socket.socket, name)
    socket.getaddrinfo = _real.pop("getaddrinfo")


def installed():
    return bool(_real)


if pytest is not None:
    @pytest.fixture(autouse=True)
    def network_guard():
        """Guards the test; leaves an outer guard (a session-wide one) in place."""
        outer = installed()
        install()
        blocked.clear()
        try:
            yield blocked
        finally:
            if not outer:
                uninstall()
