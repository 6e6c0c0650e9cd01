"""A small model of what a graph computes, for checking reductions against their input.

Every node gets a value number: equal numbers mean the node computes the same value under the
rules the reducer uses (x + 0 and x * 1 are x, the eight commutative ops ignore operand order,
equal nodes are one node). Stage nodes are followed member by member; a stage computes what
its last member computes. Numbers from one `ValueModel` are comparable across stores.
"""

import math

COMMUTATIVE = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}


def _identity(name, params):
    scalar = params.get("scalar")
    if set(params) != {"scalar", "side"} or params["side"] not in ("l", "r") or type(scalar) is not float:
        return False
    want = {"add": 0.0, "mul": 1.0}.get(name)
    return want is not None and scalar == want and math.copysign(1.0, scalar) > 0


class ValueModel:
    def __init__(self):
        self._numbers = {}

    def _number(self, key):
        return self._numbers.setdefault(key, len(self._numbers))

    def _apply(self, kind, name, params, args):
        if kind == "op":
            if len(args) == 1 and _identity(name, params):
                return args[0]
            if len(args) == 2 and not params and name in COMMUTATIVE:
                args = sorted(args)
        key = (kind, name, tuple(sorted((k, type(v).__name__, repr(v)) for k, v in params.items())), tuple(args))
        return self._number(key)

    def values(self, store):
        """The value number of every node of `store`, in id order."""
        out = []
        for node in store.nodes():
            args = [out[i] for i in node["inputs"]]
            if node["kind"] == "stage":
                done = []
                for member in node["members"]:
                    margs = [args[i] if where == "input" else done[i] for where, i in member["inputs"]]
                    kind = "reduction" if member["kind"] == "red" else member["kind"]
                    done.append(self._apply(kind, member["name"], member["params"], margs))
                out.append(done[-1])
            else:
                out.append(self._apply(node["kind"], node["name"], node["params"], args))
        return out
