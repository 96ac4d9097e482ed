# The texts of library exceptions reach Python whole: a path given as bytes that are not UTF-8 comes back in the
# message decoded with surrogateescape, as Python decodes file names, so that its bytes can be recovered.
import os

import pytest

import pymorvane as pm
from pymorvane import Ciphertext, HomEvaluator, KeyPack, Message, ParameterPreset, Plaintext, SecretKey

# Each function that takes a path, and the words its failure puts before the path.
CALLS = [
    pytest.param(lambda ctx, path: Message().load(path), "Cannot open file ", id="Message.load"),
    pytest.param(lambda ctx, path: Message([1]).save(path), "Cannot open file ", id="Message.save"),
    pytest.param(lambda ctx, path: Ciphertext(ctx).load(path), "Cannot open file ", id="Ciphertext.load"),
    pytest.param(lambda ctx, path: Plaintext(ctx).save(path), "Cannot open file ", id="Plaintext.save"),
    pytest.param(lambda ctx, path: SecretKey(ctx, path), "Cannot open file ", id="SecretKey"),
    pytest.param(lambda ctx, path: KeyPack(ctx, path), "Cannot find path ", id="KeyPack"),
    pytest.param(lambda ctx, path: HomEvaluator(ctx, path), "Cannot find path ", id="HomEvaluator"),
    pytest.param(lambda ctx, path: pm.make_context_from_file(path), "[makeContextFromFile] Cannot open ",
                 id="make_context_from_file"),
    pytest.param(lambda ctx, path: pm.save_context_to_file(ctx, path), "Cannot open file ",
                 id="save_context_to_file"),
]


@pytest.fixture
def fx():
    return pm.make_context(ParameterPreset.FX)


@pytest.mark.parametrize("call, words", CALLS)
@pytest.mark.parametrize("name", [b"missing-\xff\xfe", b"caf\xe9", "caf\u00e9".encode()], ids=["ff fe", "latin-1", "utf-8"])
def test_a_path_that_is_not_utf8_survives_in_the_message(fx, tmp_path, call, words, name):
    # The path is in a directory that does not exist, so that no call finds or makes anything there.
    path = os.fsencode(tmp_path) + b"/" + name + b"/x"
    with pytest.raises(RuntimeError) as raised:
        call(fx, path)
    text = str(raised.value)
    assert text == words + path.decode("utf-8", "surrogateescape")
    assert text[len(words):].encode("utf-8", "surrogateescape") == path
    assert os.listdir(tmp_path) == []
