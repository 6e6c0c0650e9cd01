"""The algebra: declarations, the template language and its checks, the flat rule form, the
default rule set, costs, and the laws a registry declares."""

import decimal
import operator
import pickle

import pytest

from vantrel import Registry
from vantrel.algebra import (
    Algebra,
    PatternOp,
    RuleError,
    RuleSpec,
    associative,
    commutative,
    idempotent,
    identity,
    involution,
    rewrite,
    show_pattern,
)


def names(algebra):
    return [rule.name for rule in algebra]


def test_default_is_the_twelve_rules_in_engine_order():
    default = Algebra.default()
    assert names(default) == [
        f"commute-{op}" for op in ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"]
    ] + [f"identity-{k}" for k in range(4)]
    assert default.rules[0] == RuleSpec(
        "commute-add", ("?a", "?b", PatternOp("add", {}, (0, 1))), ("?b", "?a", PatternOp("add", {}, (0, 1)))
    )
    assert default.rules[9] == RuleSpec(
        "identity-1", ("?x", PatternOp("add", {"scalar": 0.0, "side": "l"}, (0,))), ("?x",)
    )
    assert default.is_default and Algebra() == default and len(default) == 12
    assert not Algebra(include_default=False).is_default and len(Algebra(include_default=False)) == 0


def test_declarations_extend_the_default_in_order():
    algebra = Algebra(
        commutative("plus"),
        associative("plus"),
        identity("scale", {"factor": 1.0}),
        idempotent("maximum"),
        involution("neg"),
        rewrite(("scale", {"factor": 2.0}, "?x"), ("plus", "?x", "?x")),
        rewrite(("neg", ("neg", "?y")), "?y", name="double-neg"),
    )
    assert names(algebra)[12:] == [
        "commute-plus",
        "assoc-plus",
        "assoc-plus-rev",
        "identity-4",
        "idempotent-maximum",
        "involution-neg",
        "rewrite-0",
        "double-neg",
    ]
    assert not algebra.is_default
    text = str(algebra).splitlines()
    assert text[13] == "assoc-plus: plus(plus(?a, ?b), ?c) => plus(?a, plus(?b, ?c))"
    assert text[18] == "rewrite-0: scale{factor=2.0}(?x) => plus(?x, ?x)"


def test_patterns_are_flat_compact_and_root_last():
    (rule,) = Algebra(
        rewrite(("f", ("g", "?x", "?x"), ("g", "?x", "?x"), "?y"), ("h", "?y", "?x")), include_default=False
    )
    assert rule.lhs == ("?x", PatternOp("g", {}, (0, 0)), "?y", PatternOp("f", {}, (1, 1, 2)))
    assert rule.rhs == ("?y", "?x", PatternOp("h", {}, (0, 1)))
    assert show_pattern(rule.lhs) == "f(g(?x, ?x), g(?x, ?x), ?y)"


class Index:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "given, stored",
    [
        ({"k": True}, {"k": True}),
        ({"k": 1}, {"k": 1}),
        ({"k": 1.0}, {"k": 1.0}),
        ({"k": decimal.Decimal("2.5")}, {"k": 2.5}),
        ({"k": Index()}, {"k": 7}),
        ({"k": 2**63}, {"k": 9223372036854775808.0}),
        ({"b": 1, "a": "x"}, {"a": "x", "b": 1}),
    ],
)
def test_parameters_convert_as_add_op_does(given, stored):
    (rule,) = Algebra(identity("f", given), include_default=False)
    assert rule.lhs[1].params == stored
    assert list(rule.lhs[1].params) == sorted(stored)
    assert [type(v) for v in rule.lhs[1].params.values()] == [type(stored[k]) for k in sorted(stored)]


def test_int_float_and_bool_parameters_are_different_rules():
    algebra = Algebra(
        identity("f", {"k": 1}),
        identity("f", {"k": 1.0}),
        identity("f", {"k": True}),
        identity("f", {"k": 1}),
        include_default=False,
    )
    assert names(algebra) == ["identity-0", "identity-1", "identity-2"]
    assert Algebra(identity("f", {"k": 0.0}), include_default=False) != Algebra(
        identity("f", {"k": -0.0}), include_default=False
    )
    assert Algebra(identity("f", {"k": float("nan")}), include_default=False) == Algebra(
        identity("f", {"k": -float("nan")}), include_default=False
    )


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: rewrite(("f", "?x"), ("g", "?y")), "the right side refers to ?y, which the left side does not bind"),
        (lambda: rewrite("?x", ("f", "?x")), "would rewrite the variable ?x to a template containing it"),
        (lambda: rewrite("?x", "?x"), "the left side must be an op template, not the variable ?x"),
        (lambda: rewrite("f", "?x"), "the left side 'f' is not an op template"),
        (lambda: rewrite(("f", "g"), "?x"), "input 0 of op 'f' in the left side: 'g' is not an op template"),
        (lambda: rewrite(("f", "?"), "?x"), "'?' is not a variable"),
        (lambda: rewrite(("f", 3), ("f",)), "3 is neither a variable nor an op template"),
        (lambda: rewrite((), ("f",)), "an op template needs at least the op name"),
        (lambda: rewrite(("?f", "?x"), "?x"), "the variable ?f cannot take inputs"),
        (lambda: rewrite((1, "?x"), "?x"), "starts with the op name (a str), not int"),
        (lambda: rewrite(("f", "?x", {"k": 1}), "?x"), "the parameters of op 'f' come right after its name"),
        (lambda: rewrite(("f", "?a b"), ("g",)), "may not contain white space"),
        (lambda: rewrite(("f", "?x"), ("f", "?x")), "rewrites a template to itself"),
        (lambda: rewrite(("f", {"k": 1.0}, "?x"), ("f", {"k": 1.0}, "?x")), "rewrites a template to itself"),
    ],
)
def test_bad_rules_are_refused_when_declared(make, message):
    with pytest.raises(RuleError, match="^rule ") as info:
        make()
    assert message in str(info.value)


def test_errors_name_the_rule():
    with pytest.raises(RuleError, match="^rule rewrite 'twice':"):
        rewrite(("f", "?x"), "?y", name="twice")
    with pytest.raises(RuleError, match=r"^rule rewrite \('f', '\?x'\) => '\?y':"):
        rewrite(("f", "?x"), "?y")
    with pytest.raises(
        TypeError,
        match=r"^rule identity\('scale'\): parameters of op 'scale': "
        r"param values must be int, float, bool, or str",
    ):
        identity("scale", {"factor": None})
    with pytest.raises(TypeError, match="params must be a dict or None"):
        commutative("f", [("k", 1)])


def test_a_name_for_two_different_rules_is_refused():
    with pytest.raises(RuleError, match="^rule 'commute-add' .*another rule already has this name"):
        Algebra(rewrite(("sub", "?a", "?b"), ("sub", "?b", "?a"), name="commute-add"))
    # The same rule declared again is kept once and takes no number.
    algebra = Algebra(
        commutative("add"), identity("add", {"scalar": 0.0, "side": "r"}), identity("scale", {"factor": 1.0})
    )
    assert names(algebra)[12:] == ["identity-4"]


def test_deep_templates_need_no_recursion():
    deep = "?x"
    for _ in range(5000):
        deep = ("neg", deep)
    (rule,) = Algebra(rewrite(deep, "?x"), include_default=False)
    assert len(rule.lhs) == 5001 and rule.lhs[-1] == PatternOp("neg", {}, (4999,))


def test_costs_extend_and_pickle():
    algebra = Algebra(commutative("plus"), costs={"scale": 3})
    assert algebra.cost("scale") == 3 and algebra.cost("plus") == 1
    wider = algebra.extend(involution("neg"), costs={"plus": 0})
    assert names(wider) == names(algebra) + ["involution-neg"]
    assert dict(wider.costs) == {"scale": 3, "plus": 0}
    assert pickle.loads(pickle.dumps(wider)) == wider and hash(wider) == hash(pickle.loads(pickle.dumps(wider)))
    for bad, error in [
        ({"f": -1}, ValueError),
        ({"f": 2**32}, ValueError),
        ({"f": 1.5}, TypeError),
        ({"f": True}, TypeError),
        ({1: 1}, TypeError),
        ([("f", 1)], TypeError),
    ]:
        with pytest.raises(error):
            Algebra(costs=bad)


def test_registry_declares_laws_with_its_ops():
    reg = Registry()
    reg.op("plus", operator.add, commutative=True, associative=True, cost=2)
    reg.op("scale", operator.mul, identity=[{"factor": 1.0}, {"factor": 1}])
    assert reg.op("neg", involution=True)(operator.neg) is operator.neg

    reg.rewrite(("scale", {"factor": 2.0}, "?x"), ("plus", "?x", "?x"), name="double")
    algebra = reg.algebra()
    assert names(algebra)[12:] == [
        "commute-plus",
        "assoc-plus",
        "assoc-plus-rev",
        "identity-4",
        "identity-5",
        "involution-neg",
        "double",
    ]
    assert algebra.cost("plus") == 2
    assert len(reg.algebra(include_default=False)) == 7
    assert pickle.loads(pickle.dumps(reg)).algebra() == algebra


def test_registry_checks_laws_before_registering():
    reg = Registry()
    with pytest.raises(TypeError, match="identity= takes a parameter dict"):
        reg.op("f", abs, identity=[1])
    with pytest.raises(TypeError, match="associative must be a bool"):
        reg.op("f", abs, associative="yes")
    with pytest.raises(ValueError, match="cost"):
        reg.op("f", abs, cost=-1)
    assert reg.ops == {} and reg.laws == []
