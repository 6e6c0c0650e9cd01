"""Python-level companions of `vantrel_core`: the typed shapes of its values (`vantrel.types`)
and readable pictures of graphs (`vantrel.render`)."""
