"""The signature inspect shows for a function, method or constructor of tts, montra and lumora
and the argument check the call runs come from one declaration: every parameter shown is the
one the check takes at that position under that name, and nothing else is accepted.

Every call here is refused by the check, so no body runs and nothing reaches Resolve, the disk
or a service.
"""

import inspect
import re

import pytest

from vestrel import lumora, montra, tts


def declared():
    """Every declared callable of the three modules, by its dotted name."""
    found = {}
    for mod in (tts, montra, lumora):
        for name, obj in vars(mod).items():
            if isinstance(obj, type) and obj.__module__ == mod.__name__:
                for attr, fn in vars(obj).items():
                    if type(fn).__name__ == "_function":
                        found[f"{mod.__name__}.{name}.{attr}"] = fn
            elif type(obj).__name__ == "_function":
                found[f"{mod.__name__}.{name}"] = obj
    return found


CALLABLES = declared()


def test_every_public_callable_is_declared():
    # The table is not empty by accident: the engines, the edit classes and the Resolve
    # helpers are all in it.
    for name in ("vestrel.tts.create_tts_engine", "vestrel.tts.EspeakVoiceModule.__init__",
                 "vestrel.tts.EdgeTTSVoiceModule._async_generate_voice",
                 "vestrel.montra.Scene.__init__", "vestrel.montra.Edit.set_scenes_duration",
                 "vestrel.montra._detect_nonsilent", "vestrel.lumora.adjust_clip_color"):
        assert name in CALLABLES
    assert len(CALLABLES) >= 50


@pytest.mark.parametrize("name", sorted(CALLABLES))
def test_signature_and_check_agree(name):
    fn = CALLABLES[name]
    fname = re.escape(fn.__name__)
    params = list(inspect.signature(fn).parameters.values())
    positional = [p for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]

    # One positional argument more than shown is refused by the count check.
    with pytest.raises(TypeError, match=rf"^{fname}\(\) takes .* \({len(positional) + 1} given\)$"):
        fn(*[None] * (len(positional) + 1))

    # Each positional parameter is the check's, under the shown name at the shown position.
    for i, p in enumerate(positional):
        with pytest.raises(TypeError,
                           match=rf"^{fname}\(\) got multiple values for argument '{p.name}'$"):
            fn(*[None] * (i + 1), **{p.name: None})

    # Keyword-only parameters are known to the check (the call fails only for the missing
    # positional ones).
    kwonly = [p.name for p in params if p.kind is p.KEYWORD_ONLY]
    if kwonly and any(p.default is p.empty for p in positional):
        with pytest.raises(TypeError, match=r"positional arguments? \(0 given\)$"):
            fn(**{k: None for k in kwonly})

    # A keyword the signature does not show is refused, unless it shows **kwargs.
    if any(p.kind is p.VAR_KEYWORD for p in params):
        assert params[-1].kind is params[-1].VAR_KEYWORD
    else:
        with pytest.raises(TypeError,
                           match=rf"^{fname}\(\) got an unexpected keyword argument 'undeclared'$"):
            fn(undeclared=1)
