"""An algebra: the laws under which a reduction may prove op nodes equal, declared in Python.

An `Algebra` is an immutable list of named rewrite rules plus a cost per op name. It is built
from declarations::

    Algebra(commutative("plus"), associative("plus"), identity("scale", {"factor": 1.0}),
            idempotent("maximum"), involution("neg"),
            rewrite(("scale", {"factor": 2.0}, "?x"), ("plus", "?x", "?x")),
            costs={"scale": 3})

and, unless ``include_default=False``, starts from `Algebra.default()`: the twelve rules every
reduction uses (commutativity of eight two-input ops, x + 0 and x * 1).

Templates. A rule side is an op template or a variable:

- a variable is a ``str`` that starts with ``"?"`` and has at least one more character, with
  no white space or parentheses in it: ``"?x"``, ``"?lhs"``;
- an op template is a tuple (or list) ``(name, params, child, ...)`` or ``(name, child, ...)``:
  the op's name (a ``str``), optionally its parameters (a ``dict``, only in second place), then
  one child per input, each a variable or an op template. ``("plus", "?a", "?b")`` is the op
  ``plus`` without parameters on two inputs; ``("scale", {"factor": 2.0}, "?x")`` is ``scale``
  with exactly that parameter on one input.

A template matches op nodes only (never sources, reductions, externals, exchanges or stages),
and only exactly: the same name, the same number of inputs and exactly the same parameters,
converted as `vantrel_core.GraphStore.add_op` converts them (``1`` and ``1.0`` and ``True``
are three different parameters; a ``Decimal`` becomes a float). The conversion is the core's
own: every op of a template is built once in a scratch store, and its parameters are read back
from there, so a template means exactly the node that ``add_op`` would build.

What the core receives. Iterating an algebra gives its rules as `RuleSpec` values, in order:
a name and two patterns, each a tuple of entries in which children come before their parents
and the root is last. An entry is a variable (its ``str``) or a `PatternOp` (op name,
converted parameter dict, positions of its children among the earlier entries). Equal
entries are stored once, so a variable that occurs twice is one entry. This flat form is what
``rules=`` of the reducing methods takes; `Algebra.costs` is what ``extract="cost"`` weighs.
"""

from __future__ import annotations

import math
import struct
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any, NamedTuple, cast

__all__ = [
    "Algebra",
    "Law",
    "PatternOp",
    "RuleError",
    "RuleSpec",
    "associative",
    "commutative",
    "idempotent",
    "identity",
    "involution",
    "is_variable",
    "rewrite",
    "show_pattern",
]

Template = str | Sequence[Any]
"""A variable (``"?x"``) or an op template (``(name, [params,] child, ...)``)."""


class PatternOp(NamedTuple):
    """One op of a flattened pattern: its name, its parameters (as ``add_op`` stores them) and
    the positions of its children among the pattern's earlier entries."""

    name: str
    params: dict[str, Any]
    children: tuple[int, ...]


Entry = str | PatternOp


class RuleSpec(NamedTuple):
    """One rule as the core receives it: every term that matches ``lhs`` equals the matching
    instance of ``rhs``. Both are flat patterns (root last); see the module docstring."""

    name: str
    lhs: tuple[Entry, ...]
    rhs: tuple[Entry, ...]


class RuleError(ValueError):
    """A rule that cannot be declared: its message names the rule and says what is wrong."""


# ---------------------------------------------------------------------------------------------
# Laws


@dataclass(frozen=True)
class Law:
    """One declaration: a kind (``"commutative"``, ``"associative"``, ``"identity"``,
    ``"idempotent"``, ``"involution"`` or ``"rewrite"``), an optional explicit rule name, and
    its rules as (lhs, rhs) templates. The rules are checked when the law is made."""

    kind: str
    name: str | None
    sides: tuple[tuple[Template, Template], ...]
    # The flattened sides, made by the check (same order as `sides`).
    compiled: tuple[tuple[tuple[Entry, ...], tuple[Entry, ...]], ...]
    op: str | None = None

    def label(self) -> str:
        """How errors and listings name this law before it has its final rule names."""
        if self.name is not None:
            return f"{self.kind} {self.name!r}"
        if self.op is not None:
            return f"{self.kind}({self.op!r})"
        lhs, rhs = self.sides[0]
        text = f"{_show_template(lhs)} => {_show_template(rhs)}"
        return f"rewrite {text if len(text) <= 80 else text[:77] + '...'}"


def _law(kind: str, name: str | None, sides: Sequence[tuple[Template, Template]], op: str | None = None) -> Law:
    if name is not None:
        _check_rule_name(name)
    label = Law(kind, name, tuple(sides), (), op).label()
    compiled = tuple(_compile_rule(label, lhs, rhs) for lhs, rhs in sides)
    return Law(kind, name, tuple(sides), compiled, op)


def _op(op: str, params: Mapping[str, Any] | None, *children: Template) -> tuple[Any, ...]:
    return (op, params, *children) if params else (op, *children)


def commutative(op: str, params: Mapping[str, Any] | None = None, *, name: str | None = None) -> Law:
    """``op(a, b) == op(b, a)`` for the op ``op`` with exactly ``params`` (default: none) on
    two inputs. Rule name: ``"commute-" + op`` unless ``name`` is given."""
    _check_op_name(op, "commutative", params)
    return _law("commutative", name, [(_op(op, params, "?a", "?b"), _op(op, params, "?b", "?a"))], op)


def associative(op: str, params: Mapping[str, Any] | None = None, *, name: str | None = None) -> Law:
    """``op(op(a, b), c) == op(a, op(b, c))``: two rules, one per direction, named
    ``"assoc-" + op`` (left to right nesting) and ``"assoc-" + op + "-rev"`` unless ``name``
    is given (then ``name`` and ``name + "-rev"``)."""
    _check_op_name(op, "associative", params)
    left = _op(op, params, _op(op, params, "?a", "?b"), "?c")
    right = _op(op, params, "?a", _op(op, params, "?b", "?c"))
    return _law("associative", name, [(left, right), (right, left)], op)


def identity(op: str, params: Mapping[str, Any] | None, *, name: str | None = None) -> Law:
    """The one-input op ``op`` with exactly ``params`` stands for its input: ``op(x) == x``
    (``identity("scale", {"factor": 1.0})``). Rule name: ``"identity-" + k``, where k counts
    the identities of the algebra from 0, unless ``name`` is given."""
    _check_op_name(op, "identity", params)
    return _law("identity", name, [(_op(op, params, "?x"), "?x")], op)


def idempotent(op: str, params: Mapping[str, Any] | None = None, *, name: str | None = None) -> Law:
    """``op(x, x) == x`` for the two-input op ``op`` with exactly ``params``. Rule name:
    ``"idempotent-" + op`` unless ``name`` is given."""
    _check_op_name(op, "idempotent", params)
    return _law("idempotent", name, [(_op(op, params, "?x", "?x"), "?x")], op)


def involution(op: str, params: Mapping[str, Any] | None = None, *, name: str | None = None) -> Law:
    """``op(op(x)) == x`` for the one-input op ``op`` with exactly ``params``. Rule name:
    ``"involution-" + op`` unless ``name`` is given."""
    _check_op_name(op, "involution", params)
    return _law("involution", name, [(_op(op, params, _op(op, params, "?x")), "?x")], op)


def rewrite(lhs: Template, rhs: Template, *, name: str | None = None) -> Law:
    """Every term matching the op template ``lhs`` equals the matching instance of ``rhs`` (an
    op template or one of ``lhs``'s variables). Rule name: ``"rewrite-" + k``, where k counts
    the algebra's unnamed rewrites from 0, unless ``name`` is given."""
    return _law("rewrite", name, [(lhs, rhs)])


def _rule_names(law: Law, counters: dict[str, int]) -> list[str]:
    """The final names of ``law``'s rules; `counters` numbers identities and rewrites."""
    if law.kind in ("identity", "rewrite"):
        k = counters.get(law.kind, 0)
        counters[law.kind] = k + 1
        if law.name is None:
            return [f"{law.kind}-{k}"]
    base = (
        law.name
        if law.name is not None
        else {
            "commutative": "commute-",
            "associative": "assoc-",
            "idempotent": "idempotent-",
            "involution": "involution-",
        }[law.kind]
        + str(law.op)
    )
    return [base] if len(law.compiled) == 1 else [base, base + "-rev"]


# ---------------------------------------------------------------------------------------------
# The algebra


class Algebra:
    """An immutable rule set with per-op costs. See the module docstring.

    ``Algebra(*laws, costs=None, include_default=True)``: the default twelve rules (unless
    ``include_default`` is false), then the rules of ``laws`` in order. A rule whose two sides
    equal those of a rule already present is kept once (a law that adds nothing takes no
    number); two different rules with one name are refused. ``costs`` maps op names to
    non-negative ints; an op not named costs 1."""

    __slots__ = ("_laws", "_rules", "_costs", "_keys")

    def __init__(self, *laws: Law, costs: Mapping[str, int] | None = None, include_default: bool = True) -> None:
        if not isinstance(cast(object, include_default), bool):
            raise TypeError("include_default must be a bool")
        all_laws = (*(_default_laws() if include_default else ()), *laws)
        rules: list[RuleSpec] = []
        keys: list[tuple[Any, ...]] = []
        by_name: dict[str, tuple[Any, ...]] = {}
        sides_seen: set[tuple[Any, ...]] = set()
        kept: list[Law] = []
        counters: dict[str, int] = {}
        for law in all_laws:
            if not isinstance(cast(object, law), Law):
                raise TypeError(
                    f"an algebra is built from laws (commutative(...), rewrite(...), ...), not {type(law).__name__}"
                )
            # A law whose every rule is present already (same sides) adds nothing and takes no
            # number, so an algebra and its `extend` copies name their rules alike.
            fresh = [
                (lhs, rhs) for lhs, rhs in law.compiled if (_entries_key(lhs), _entries_key(rhs)) not in sides_seen
            ]
            if not fresh:
                continue
            trial = dict(counters)
            names = _rule_names(law, trial)
            for rule_name, (lhs, rhs) in zip(names, law.compiled):
                key = (_entries_key(lhs), _entries_key(rhs))
                if key in sides_seen:
                    continue
                if rule_name in by_name:
                    raise RuleError(f"rule {rule_name!r} ({law.label()}): another rule already has this name")
                by_name[rule_name] = key
                sides_seen.add(key)
                rules.append(RuleSpec(rule_name, lhs, rhs))
                keys.append((rule_name, key))
            counters = trial
            kept.append(law)
        self._laws = tuple(kept)
        self._rules = tuple(rules)
        self._costs = MappingProxyType(_check_costs(costs))
        self._keys = (tuple(keys), tuple(sorted(self._costs.items())))

    @classmethod
    def default(cls) -> Algebra:
        """The twelve rules every reduction uses: ``commute-add`` ... ``commute-minimum`` for
        the eight two-input ops without parameters, then ``identity-0`` ... ``identity-3`` for
        ``add`` with ``scalar`` 0.0 and ``mul`` with ``scalar`` 1.0, ``side`` "r" or "l"."""
        return cls()

    def extend(self, *laws: Law, costs: Mapping[str, int] | None = None) -> Algebra:
        """A new algebra: this one's rules, then those of ``laws``; ``costs`` are added to (and
        override) this one's."""
        merged = dict(self._costs)
        merged.update(_check_costs(costs))
        return Algebra(*self._laws, *laws, costs=merged, include_default=False)

    @property
    def laws(self) -> tuple[Law, ...]:
        """The declarations, in order (a declaration whose rules were all present already is
        left out)."""
        return self._laws

    @property
    def rules(self) -> tuple[RuleSpec, ...]:
        """The rules, in the order the engine applies them."""
        return self._rules

    @property
    def costs(self) -> Mapping[str, int]:
        """The declared op costs (read-only); every other op costs 1."""
        return self._costs

    def cost(self, op: str) -> int:
        """What extraction by cost charges for one node of op ``op``."""
        return self._costs.get(op, 1)

    @property
    def is_default(self) -> bool:
        """Whether the rules are exactly the default twelve, in their order."""
        return self._keys[0] == _default_keys()

    def __iter__(self) -> Iterator[RuleSpec]:
        return iter(self._rules)

    def __len__(self) -> int:
        return len(self._rules)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Algebra):
            return NotImplemented
        return self._keys == other._keys

    def __hash__(self) -> int:
        return hash(self._keys)

    def __repr__(self) -> str:
        costs = f", costs={dict(self._costs)!r}" if self._costs else ""
        return f"<Algebra of {len(self._rules)} rules{costs}>"

    def __str__(self) -> str:
        return "\n".join(f"{rule.name}: {show_pattern(rule.lhs)} => {show_pattern(rule.rhs)}" for rule in self._rules)

    def __reduce__(self) -> tuple[Any, ...]:
        return _rebuild, (self._laws, dict(self._costs))


def _rebuild(laws: tuple[Law, ...], costs: dict[str, int]) -> Algebra:
    return Algebra(*laws, costs=costs, include_default=False)


def show_pattern(entries: Sequence[Entry]) -> str:
    """A flat pattern written out as nested calls: ``plus(?a, scale{factor=2.0}(?b))``."""
    texts: list[str] = []
    for entry in entries:
        if isinstance(entry, str):
            texts.append(entry)
            continue
        params = ("{" + ", ".join(f"{k}={v!r}" for k, v in entry.params.items()) + "}") if entry.params else ""
        texts.append(f"{entry.name}{params}(" + ", ".join(texts[c] for c in entry.children) + ")")
    return texts[-1]


def _check_costs(costs: Mapping[str, int] | None) -> dict[str, int]:
    if costs is None:
        return {}
    given = cast(object, costs)  # a caller's value: checked, whatever its annotation says
    if not isinstance(given, Mapping):
        raise TypeError(f"costs must be a mapping of op names to ints, not {type(given).__name__}")
    checked: dict[str, int] = {}
    for op, cost in cast("Mapping[object, object]", given).items():
        if not isinstance(op, str):
            raise TypeError(f"costs: an op name must be a str, not {type(op).__name__}")
        if isinstance(cost, bool) or not isinstance(cost, int):
            raise TypeError(f"costs: the cost of {op!r} must be an int, not {type(cost).__name__}")
        if not 0 <= cost < 2**32:
            raise ValueError(f"costs: the cost of {op!r} must be between 0 and 2**32 - 1, not {cost}")
        checked[op] = cost
    return checked


# ---------------------------------------------------------------------------------------------
# The default rule set: the names and order the engine has always used.

_DEFAULT_COMMUTATIVE = ("add", "mul", "and", "or", "eq", "ne", "maximum", "minimum")
_DEFAULT_IDENTITIES = (("add", 0.0, "r"), ("add", 0.0, "l"), ("mul", 1.0, "r"), ("mul", 1.0, "l"))
_default_cache: dict[str, Any] = {}


def _default_laws() -> tuple[Law, ...]:
    laws = _default_cache.get("laws")
    if laws is None:
        laws = (
            *(commutative(op) for op in _DEFAULT_COMMUTATIVE),
            *(identity(op, {"scalar": scalar, "side": side}) for op, scalar, side in _DEFAULT_IDENTITIES),
        )
        _default_cache["laws"] = laws
    return laws


def _default_keys() -> tuple[Any, ...]:
    keys = _default_cache.get("keys")
    if keys is None:
        keys = Algebra()._keys[0]  # pyright: ignore[reportPrivateUsage]
        _default_cache["keys"] = keys
    return keys


# ---------------------------------------------------------------------------------------------
# Templates: checking and flattening


def _check_rule_name(name: object) -> None:
    if not isinstance(name, str):
        raise TypeError(f"a rule name must be a str, not {type(name).__name__}")
    if not name:
        raise RuleError("a rule name must not be empty")


def _check_op_name(op: object, kind: str, params: object = None) -> None:
    if not isinstance(op, str):
        raise TypeError(f"{kind}: the op name must be a str, not {type(op).__name__}")
    if params is not None and not isinstance(params, dict):
        raise TypeError(f"rule {kind}({op!r}): params must be a dict or None")


def is_variable(value: object) -> bool:
    """Whether ``value`` is a template variable: ``"?"`` and at least one more character."""
    return isinstance(value, str) and len(value) >= 2 and value[0] == "?"


def _check_variable(label: str, text: str) -> None:
    if any(c.isspace() or c in "()" for c in text):
        raise RuleError(f"rule {label}: variable {text!r} may not contain white space or parentheses")


def _compile_rule(label: str, lhs: Template, rhs: Template) -> tuple[tuple[Entry, ...], tuple[Entry, ...]]:
    if is_variable(lhs):
        assert isinstance(lhs, str)
        if not is_variable(rhs) and lhs in _variables(label, rhs):
            raise RuleError(f"rule {label}: would rewrite the variable {lhs} to a template containing it")
        raise RuleError(f"rule {label}: the left side must be an op template, not the variable {lhs}")
    if isinstance(lhs, str):
        raise RuleError(
            f"rule {label}: the left side {lhs!r} is not an op template "
            f"(write ({lhs!r}, child, ...) for an op, '?name' for a variable)"
        )
    scratch = _Scratch()
    raw_left = _flatten(label, "left", lhs, scratch)
    raw_right = _flatten(label, "right", rhs, scratch)
    scratch.convert(label)
    left, right = scratch.finish(raw_left), scratch.finish(raw_right)
    bound = {e for e in left if isinstance(e, str)}
    for entry in right:
        if isinstance(entry, str) and entry not in bound:
            raise RuleError(f"rule {label}: the right side refers to {entry}, which the left side does not bind")
    if _entries_key(left) == _entries_key(right):
        raise RuleError(f"rule {label}: rewrites a template to itself")
    return left, right


def _variables(label: str, template: Template) -> set[str]:
    scratch = _Scratch()
    try:
        entries = _flatten(label, "right", template, scratch)
    except (RuleError, TypeError):
        return set()
    return {e for e in entries if isinstance(e, str)}


class _Scratch:
    """Ops of a rule waiting for their parameters to go through the core's own conversion."""

    def __init__(self) -> None:
        self.ops: list[tuple[str, Any, int]] = []  # (name, params as given, arity)
        self.converted: list[dict[str, Any]] = []

    def add(self, name: str, params: Any, arity: int) -> int:
        self.ops.append((name, params, arity))
        return len(self.ops) - 1

    def convert(self, label: str) -> None:
        """Builds every op in a scratch store exactly as `add_op` would and reads back its
        parameters: the conversion, and its errors, are the core's."""
        import vantrel_core

        store = vantrel_core.GraphStore()
        leaf = store.add_source("")
        ids: list[int] = []
        for name, params, arity in self.ops:
            try:
                ids.append(store.add_op(name, [leaf] * arity, params))
            except (TypeError, ValueError, OverflowError) as exc:
                raise type(exc)(f"rule {label}: parameters of op {name!r}: {exc}") from exc
        nodes = store.nodes()
        self.converted = [nodes[i]["params"] for i in ids]

    def finish(self, entries: list[Any]) -> tuple[Entry, ...]:
        """Turns the provisional entries into the final, compacted pattern."""
        out: list[Entry] = []
        index: dict[Any, int] = {}
        remap: list[int] = []
        for entry in entries:
            if isinstance(entry, str):
                final: Entry = entry
            else:
                op_index, children = cast("tuple[int, list[int]]", entry)
                name = self.ops[op_index][0]
                final = PatternOp(name, self.converted[op_index], tuple(remap[c] for c in children))
            key = _entry_key(final)
            if key not in index:
                index[key] = len(out)
                out.append(final)
            remap.append(index[key])
        return tuple(out)


def _flatten(label: str, side: str, template: Template, scratch: _Scratch) -> list[Any]:
    """The template's entries, children before parents, root last, found without recursion.
    An op entry is provisional here: (scratch op index, child entry positions)."""
    entries: list[Any] = []
    # Work items: (template, where) to visit; ("emit", op info) to close an op.
    stack: list[tuple[str, Any, str]] = [("visit", template, f"the {side} side")]
    results: list[int] = []
    while stack:
        action, item, where = stack.pop()
        if action == "emit":
            name, params, arity = item
            children = results[len(results) - arity :] if arity else []
            del results[len(results) - arity :]
            entries.append((scratch.add(name, params, arity), tuple(children)))
            results.append(len(entries) - 1)
            continue
        if is_variable(item):
            _check_variable(label, item)
            entries.append(item)
            results.append(len(entries) - 1)
            continue
        name, params, children = _split_op(label, where, item)
        stack.append(("emit", (name, params, len(children)), where))
        for k in range(len(children) - 1, -1, -1):
            stack.append(("visit", children[k], f"input {k} of op {name!r} in {where}"))
    return entries


def _split_op(label: str, where: str, template: object) -> tuple[str, Any, list[Any]]:
    if isinstance(template, str):
        if template.startswith("?"):
            raise RuleError(f"rule {label}: {where}: {template!r} is not a variable (a variable is '?' and a name)")
        raise RuleError(
            f"rule {label}: {where}: {template!r} is not an op template "
            f"(write ({template!r}, ...) for an op, '?name' for a variable)"
        )
    if not isinstance(template, (tuple, list)):
        raise RuleError(f"rule {label}: {where}: {template!r} is neither a variable nor an op template")
    items = cast("Sequence[object]", template)
    if not items:
        raise RuleError(f"rule {label}: {where}: an op template needs at least the op name")
    name = items[0]
    if is_variable(name):
        raise RuleError(f"rule {label}: {where}: the variable {name} cannot take inputs")
    if not isinstance(name, str):
        raise RuleError(
            f"rule {label}: {where}: an op template starts with the op name (a str), not {type(name).__name__}"
        )
    rest = list(items[1:])
    params: object = None
    if rest and isinstance(rest[0], dict):
        params = rest.pop(0)
    for child in rest:
        if isinstance(child, dict):
            raise RuleError(f"rule {label}: {where}: the parameters of op {name!r} come right after its name")
    return name, params, rest


def _value_key(value: Any) -> tuple[str, Any]:
    """A value's identity as a parameter: type and value, a float by its bits (all NaNs one)."""
    if isinstance(value, bool):
        return ("b", value)
    if isinstance(value, int):
        return ("i", value)
    if isinstance(value, float):
        return ("f", 0x7FF8000000000000 if math.isnan(value) else struct.unpack("<Q", struct.pack("<d", value))[0])
    return ("s", value)


def _entry_key(entry: Entry) -> Any:
    if isinstance(entry, str):
        return entry
    return (entry.name, tuple((k, _value_key(v)) for k, v in entry.params.items()), entry.children)


def _entries_key(entries: Sequence[Entry]) -> tuple[Any, ...]:
    return tuple(_entry_key(e) for e in entries)


def _show_template(template: object, limit: int = 80) -> str:
    """``repr`` of a template, cut after about ``limit`` characters, without recursion (a
    template may be nested deeper than the interpreter's recursion limit)."""
    out: list[str] = []
    size = 0
    stack: list[object] = [template]
    while stack and size <= limit:
        item = stack.pop()
        if isinstance(item, _Text):
            text = item.text
        elif isinstance(item, (tuple, list)):
            open_, close = ("(", ")") if isinstance(item, tuple) else ("[", "]")
            children = cast("Sequence[object]", item)
            if len(children) == 1 and isinstance(item, tuple):
                close = ",)"
            parts: list[object] = []
            for k, child in enumerate(children):
                if k:
                    parts.append(_Text(", "))
                parts.append(child)
            stack.extend(reversed([_Text(open_), *parts, _Text(close)]))
            continue
        else:
            text = repr(item)
        out.append(text)
        size += len(text)
    return "".join(out)


class _Text:
    __slots__ = ("text",)

    def __init__(self, text: str) -> None:
        self.text = text
