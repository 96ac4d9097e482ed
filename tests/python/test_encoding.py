# The classes EnDecoder, Encryptor and Decryptor: overloads, bookkeeping, history labels, and message outputs that
# are exported through the buffer protocol.
import pytest

import pymorvane as pm
from pymorvane import (Ciphertext, Decryptor, Device, DeviceType, EnDecoder, Encryptor, KeyGenerator, KeyPack, Message,
                       ParameterPreset, Plaintext, SecretKey)

TOO_LARGE = r"^\[Encode\] Message size is too large\.$"
NO_KEY = r"^\[Encryption\] There is no encryption key\.$"
RESIZE_REFUSED = "^Existing exports of data: object cannot be re-sized$"


@pytest.fixture
def fx():
    return pm.make_context(ParameterPreset.FX)


@pytest.fixture
def keys(fx):
    """A secret key and a key pack holding an encryption key."""
    generator = KeyGenerator(fx, SecretKey(fx))
    generator.gen_enc_key()
    fx.clear_history()
    return generator.keypack


def values(n, offset=0):
    return [complex(i + offset, -i) for i in range(n)]


@pytest.mark.parametrize("args, kwargs, log_slots, level, rescale_counter", [
    ((), {}, 2, 12, 0),
    ((7,), {}, 2, 7, 0),
    ((1000, -4), {}, 2, 1000, -4),
    ((), {"level": 3, "r_counter": 2}, 2, 3, 2),
])
def test_encode(fx, args, kwargs, log_slots, level, rescale_counter):
    ptxt = EnDecoder(fx).encode(Message(values(4)), *args, **kwargs)
    assert (ptxt.log_slots, ptxt.level, ptxt.rescale_counter, len(ptxt)) == (log_slots, level, rescale_counter, 4)
    ptxt.log_slots = 5
    assert ptxt.data[:] == values(4) * 8
    assert fx.get_history() == {"Encode": 1}


@pytest.mark.parametrize("msg, accepted", [
    (Message(5), True), (Message([2j]), True), (Message(6), False), (Message(), False), (Message(7), False),
])
def test_encode_takes_up_to_the_full_slots(fx, msg, accepted):
    encoder = EnDecoder(fx)
    if accepted:
        ptxt = encoder.encode(msg)
        ptxt.log_slots = 5
        assert ptxt.data[:] == msg[:] * (32 // len(msg))
    else:
        with pytest.raises(RuntimeError, match=TOO_LARGE):
            encoder.encode(msg, 3)
        assert fx.get_history() == {}


@pytest.mark.parametrize("level", [0, 5, 12, 40])
def test_decode_returns_the_encoded_slots(fx, level):
    encoder = EnDecoder(fx)
    msg = Message(values(8))
    decoded = encoder.decode(encoder.encode(msg, level))
    assert decoded[:] == msg[:] and decoded is not msg
    assert fx.get_history() == {"Encode": 1, "Decode": 1}


@pytest.mark.parametrize("log_slots", [6, 63, 64, 2**64 - 1])
def test_decode_refuses_log_slots_beyond_the_slots_held(fx, log_slots):
    ptxt = Plaintext(fx)
    ptxt.log_slots = log_slots
    with pytest.raises(RuntimeError, match=rf"^\[Decode\] log_slots {log_slots} exceeds the slots held$"):
        EnDecoder(fx).decode(ptxt)
    assert fx.get_history() == {}


def sk_or_pack(fx, keys, use_pack):
    return keys if use_pack else SecretKey(fx)


ENCRYPTED = ["Encode", "Encrypt from ptxt by {}", "Encrypt by {}"]


@pytest.mark.parametrize("use_pack, by", [(False, "sk"), (True, "pk")])
@pytest.mark.parametrize("call, level, rescale_counter, labels", [
    (lambda e, m, k, c, ctx: e.encrypt(m, k, c), 12, 0, ENCRYPTED),
    (lambda e, m, k, c, ctx: e.encrypt(m, k, c, 4), 4, 0, ENCRYPTED),
    (lambda e, m, k, c, ctx: e.encrypt(m, k, c, 4, r_counter=3), 4, 3, ENCRYPTED),
    (lambda e, m, k, c, ctx: e.encrypt(m, k, c, 4, 3), 4, 3, ENCRYPTED),
    (lambda e, m, k, c, ctx: e.encrypt(EnDecoder(ctx).encode(m, 6, 1), k, c), 6, 1, ENCRYPTED[:2]),
])
def test_encrypt_forms(fx, keys, use_pack, by, call, level, rescale_counter, labels):
    ctxt = Ciphertext(fx, True)
    ctxt.to(Device(DeviceType.GPU, 0))
    fx.clear_history()
    call(Encryptor(fx), Message(values(2)), keys if use_pack else SecretKey(fx), ctxt, fx)
    assert (ctxt.log_slots, ctxt.level, ctxt.rescale_counter, ctxt.data[:]) == (1, level, rescale_counter, values(2))
    # The ciphertext takes the plaintext's slots with their device; its size and extended flag stay.
    assert (ctxt.device_type, ctxt.is_mod_up()) == (DeviceType.CPU, True)
    assert fx.get_history() == {label.format(by): 1 for label in labels}


def test_encrypt_with_a_pack_lacking_the_key(fx):
    ctxt = Ciphertext(fx)
    with pytest.raises(RuntimeError, match=NO_KEY):
        Encryptor(fx).encrypt(Message(values(4)), KeyPack(fx), ctxt)
    assert fx.get_history() == {"Encode": 1}
    with pytest.raises(RuntimeError, match=NO_KEY):
        Encryptor(fx).encrypt(Plaintext(fx), KeyPack(fx), ctxt)
    assert ctxt.data[:] == [0j] * 32


def test_encrypt_loads_the_key_from_the_pack_directory(fx, tmp_path):
    generator = KeyGenerator(fx, SecretKey(fx))
    generator.gen_enc_key()
    generator.save(str(tmp_path))
    pack = KeyPack(fx, str(tmp_path))
    fx.clear_history()
    Encryptor(fx).encrypt(ptxt=Plaintext(fx), pack=pack, ctxt=Ciphertext(fx))
    assert fx.get_history() == {"Load encryption key": 1, "Encrypt from ptxt by pk": 1}


def encrypted(fx, slots, level=None):
    ctxt = Ciphertext(fx)
    args = () if level is None else (level,)
    Encryptor(fx).encrypt(Message(slots), SecretKey(fx), ctxt, *args)
    fx.clear_history()
    return ctxt


def test_decrypt_into_a_message_or_a_plaintext(fx):
    ctxt = encrypted(fx, values(4), 9)
    ctxt.rescale_counter = 2
    ctxt.to_device()
    fx.clear_history()
    msg = Message(3)
    msg.to(Device(DeviceType.GPU, 4))
    Decryptor(fx).decrypt(ctxt, SecretKey(fx), msg)
    assert (msg[:], msg.device_type) == (values(4), DeviceType.CPU)
    assert fx.get_history() == {"Decrypt to ptxt": 1, "Decode": 1, "Decrypt": 1}
    fx.clear_history()
    ptxt = Plaintext(fx)
    Decryptor(fx).decrypt(ctxt=ctxt, sk=SecretKey(fx), ptxt=ptxt)
    assert (ptxt.log_slots, ptxt.level, ptxt.rescale_counter, ptxt.data[:]) == (2, 9, 2, values(4))
    assert ptxt.device_type == DeviceType.GPU
    assert fx.get_history() == {"Decrypt to ptxt": 1}


def test_partial_decrypt_copies_every_field(fx):
    ctxt = encrypted(fx, values(8), 5)
    ctxt.rescale_counter = -1
    ctxt.to(Device(DeviceType.GPU, 2))
    fx.clear_history()
    out = Ciphertext(fx, True)
    Decryptor(fx).partial_decrypt(ctxt, SecretKey(fx), ctxt_out=out)
    assert repr(out) == repr(ctxt)
    assert (out.is_mod_up(), out.device.id) == (False, 2)
    assert fx.get_history() == {}


def test_decrypt_into_an_exported_message(fx):
    np = pytest.importorskip("numpy")
    ctxt = encrypted(fx, values(4))
    msg = Message(values(4, 100))
    msg.to_device()
    view = np.asarray(msg)
    # Same slot count: written into the exported storage itself.
    Decryptor(fx).decrypt(ctxt, SecretKey(fx), msg)
    assert view.tolist() == values(4) and msg.device_type == DeviceType.CPU
    fx.clear_history()
    # Another slot count: refused before anything changes.
    view[:] = 7
    with pytest.raises(BufferError, match=RESIZE_REFUSED):
        Decryptor(fx).decrypt(encrypted(fx, values(8)), SecretKey(fx), msg)
    assert msg[:] == [7 + 0j] * 4 and fx.get_history() == {}
    del view
    Decryptor(fx).decrypt(encrypted(fx, values(8)), SecretKey(fx), msg)
    assert msg[:] == values(8)


@pytest.mark.parametrize("log_slots", [6, 64])
def test_decrypt_refuses_log_slots_beyond_the_slots_held(fx, log_slots):
    ctxt = encrypted(fx, values(4))
    ctxt.log_slots = log_slots
    msg = Message(values(4))
    with pytest.raises(RuntimeError, match=rf"^\[Decode\] log_slots {log_slots} exceeds the slots held$"):
        Decryptor(fx).decrypt(ctxt, SecretKey(fx), msg)
    assert msg[:] == values(4)


@pytest.mark.parametrize("call", [
    lambda fx: EnDecoder(),
    lambda fx: Encryptor(),
    lambda fx: Decryptor(None),
    lambda fx: EnDecoder(fx).encode(Message(2), 1.0),
    lambda fx: EnDecoder(fx).encode(Message(2), -1),
    lambda fx: EnDecoder(fx).encode(Message(2), 1, 2**31),
    lambda fx: EnDecoder(fx).encode([1, 2]),
    lambda fx: Encryptor(fx).encrypt(Message(2), SecretKey(fx), Ciphertext(fx), 2**64),
    lambda fx: Encryptor(fx).encrypt(Plaintext(fx), SecretKey(fx), Ciphertext(fx), 3),
    lambda fx: Encryptor(fx).encrypt(Message(2), SecretKey(fx), Plaintext(fx)),
    lambda fx: Decryptor(fx).decrypt(Ciphertext(fx), KeyPack(fx), Message()),
])
def test_arguments_that_match_no_overload(fx, call):
    with pytest.raises(TypeError):
        call(fx)
    assert fx.get_history() == {}
