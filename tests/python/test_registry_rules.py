"""The registry's statement of what the reduction rules assume agrees with the rules the
module runs."""

import struct

import vantrel_core

from vantrel.registry import COMMUTATIVE_OPS, IDENTITY_FORMS


def _rules_by_kind():
    swaps, identities = set(), set()
    for name, lhs, rhs in vantrel_core._default_rules():
        token, *variables = lhs[1:-1].split(" ")
        assert token.startswith("op|"), name
        if name.startswith("commute-"):
            assert variables == ["?a", "?b"] and rhs == f"({token} ?b ?a)", name
            swaps.add(token[len("op|") :])
        else:
            assert name.startswith("identity-") and variables == ["?x"] and rhs == "?x", name
            identities.add(token)
    return swaps, identities


def _identity_token(op, scalar, side):
    bits = struct.unpack("<Q", struct.pack("<d", scalar))[0]
    return f"op|{op}|scalar=f{bits:016x};side=s{side}"


def test_commutative_ops_are_the_swapped_ops():
    swaps, _ = _rules_by_kind()
    assert swaps == COMMUTATIVE_OPS


def test_identity_forms_are_the_identity_tokens():
    _, identities = _rules_by_kind()
    expected = {_identity_token(op, scalar, side) for op, scalar in IDENTITY_FORMS.items() for side in "rl"}
    assert identities == expected


def test_identity_tokens_are_what_the_store_writes():
    store = vantrel_core.GraphStore()
    x = store.add_source("x", {})
    for op, scalar in IDENTITY_FORMS.items():
        for side in "rl":
            node = store.add_op(op, [x], {"scalar": scalar, "side": side})
            assert store.reduction_report(outputs=[node])["canonical_nodes"] == 1


def test_default_rules_are_private():
    assert "_default_rules" not in vantrel_core.__all__
    rules = vantrel_core._default_rules()
    assert len(rules) == 12 and len({name for name, _, _ in rules}) == 12
