import pytest

from foundation import Subscription, get_transport, shutdown_transport

MESSAGE = "tamblin transport is not available in this build (mock driver bundle)"


def test_shutdown_does_nothing_any_number_of_times():
    assert shutdown_transport() is None
    assert shutdown_transport() is None


def test_get_transport_raises_every_time():
    for _ in range(3):
        with pytest.raises(RuntimeError) as error:
            get_transport()
        assert str(error.value) == MESSAGE
        assert type(error.value) is RuntimeError
    assert shutdown_transport() is None


@pytest.mark.parametrize("call", [lambda: get_transport(1), lambda: shutdown_transport(None)])
def test_no_arguments_accepted(call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()


def test_signatures():
    assert get_transport.__doc__ == "get_transport() -> object\n"
    assert shutdown_transport.__doc__ == "shutdown_transport() -> None\n"
    assert Subscription.subscription_id.fget.__doc__ == "(self: foundation.Subscription) -> int\n"


def test_subscription_cannot_be_created_and_its_id_is_read_only():
    with pytest.raises(TypeError) as error:
        Subscription()
    assert str(error.value) == "foundation.Subscription: No constructor defined!"
    assert Subscription.subscription_id.fset is None
    assert Subscription.__repr__ is object.__repr__
