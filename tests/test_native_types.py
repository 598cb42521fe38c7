"""Every native class that Python can reach is created only through its own
constructor: object.__new__ refuses it, and an instance made by the class's
__new__ without __init__ is fully built (its methods and repr work)."""
import importlib
import pickle

import pytest

from korvane import NATIVE_MODULES

MODULES = list(NATIVE_MODULES)


def native_classes():
    found = []
    for name in MODULES:
        for attr, value in vars(importlib.import_module(name)).items():
            # Native classes have no instance dict; plain Python classes of the modules do.
            if isinstance(value, type) and value.__module__ == name and "__dict__" not in vars(value):
                found.append(pytest.param(value, id=f"{name.rsplit('.', 1)[1]}.{attr}"))
    return found


CLASSES = native_classes()


def test_every_module_with_classes_is_seen():
    assert len(CLASSES) >= 12


@pytest.mark.parametrize("cls", CLASSES)
def test_object_new_refuses_native_classes(cls):
    with pytest.raises(TypeError):
        object.__new__(cls)


@pytest.mark.parametrize("cls", CLASSES)
def test_instance_from_new_alone_is_whole(cls):
    try:
        obj = cls.__new__(cls)
    except TypeError:
        return                          # a constructor with required arguments
    assert type(obj) is cls
    repr(obj)
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(obj)
