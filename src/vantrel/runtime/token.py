"""The token of a run: equal for runs that compute the same thing, different otherwise.

Every task key of a Dask run carries it, so that running one graph again in one client finds
the results it persisted, and so that no two runs that could compute different values share a
key. What decides a run's values is the graph, the request and the callables behind its names:

- the graph and the request: the canonical blob of the store with the requested outputs as
  its outputs (byte-identical for equal stores and requests, in every process);
- the callables: the registry's identity, which is its ``cache_token`` (a random token made
  with the registry, kept when it is pickled) and, per table, every registered name with a
  serial number of the entry object registered under it. A serial is handed out the first time
  an entry object is seen in this process and never handed out again; re-registering a name
  makes a new entry object, so it gives new keys, and an entry object's serial is forgotten only
  when the object is gone.

So one registry object, unchanged, gives the same keys for the same store and request, and two
registries (or one registry before and after a name is registered again) never share keys.
Registered data is taken as fixed: a source's ``partitions`` callable and its ``read`` are
expected to give the same partitions for the same parameters for as long as the results of a
run are kept.
"""

from __future__ import annotations

import hashlib
import itertools
import threading
import weakref
from collections.abc import Mapping

from vantrel_core import GraphStore

from ..registry import Registry

__all__ = ["registry_identity", "run_token"]

_serials: dict[int, int] = {}
_next_serial = itertools.count()
_kept: list[object] = []  # objects that cannot be weakly referenced: kept, so their ids stay theirs
_serials_guard = threading.Lock()


def _forget(key: int) -> None:
    with _serials_guard:
        _serials.pop(key, None)


def _serial(obj: object) -> int:
    """The serial number of ``obj`` in this process (see above)."""
    key = id(obj)
    with _serials_guard:
        found = _serials.get(key)
        if found is not None:
            return found
        found = _serials[key] = next(_next_serial)
    try:
        weakref.finalize(obj, _forget, key)
    except TypeError:
        with _serials_guard:
            _kept.append(obj)
    return found


def registry_identity(registry: Registry) -> bytes:
    """What identifies ``registry`` and the callables it holds now (see above)."""
    tables: tuple[tuple[str, Mapping[str, object]], ...] = (
        ("source", registry.sources),
        ("op", registry.ops),
        ("reduction", registry.reductions),
        ("exchange", registry.exchanges),
        ("external", registry.externals),
    )
    parts = [f"{len(registry.cache_token)}:{registry.cache_token}"]
    for table, entries in tables:
        for name in sorted(entries):
            parts.append(f"{table} {len(name)}:{name} {_serial(entries[name])}")
    return "\n".join(parts).encode("utf-8", "surrogatepass")


def run_token(store: GraphStore, outputs: list[int], registry: Registry) -> str:
    """The token of running ``outputs`` of ``store`` with ``registry``: 32 hex digits."""
    digest = hashlib.blake2b(digest_size=16)
    digest.update(store.serialize(outputs=outputs))
    digest.update(b"\x02")
    digest.update(registry_identity(registry))
    return digest.hexdigest()
