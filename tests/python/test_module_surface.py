"""What the interpreter sees of the module: namespace, classes, binding and conversion errors."""
import pathlib
import sys

import pytest

import kestrin
from conftest import run_in_fresh_interpreter
from kestrin import KestEngine, VideoMetadata

E = KestEngine()
SIX = ("a", "b", "c", "d", "e", "f")


def test_namespace_and_docs():
    assert kestrin.__all__ == ["KestEngine", "VideoMetadata"]
    assert kestrin.__doc__ == ""
    public = {n for n in vars(kestrin) if not n.startswith("__")}
    assert public == {"KestEngine", "VideoMetadata"}


@pytest.mark.parametrize("cls", [KestEngine, VideoMetadata])
def test_class_properties(cls):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__
    assert cls.__base__ is object
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    assert "__weakref__" not in dir(cls)


def test_engine_signature_and_instances():
    assert KestEngine.__text_signature__ == "()"
    assert not KestEngine.__doc__
    engine = KestEngine()
    with pytest.raises(AttributeError):
        engine.anything = 1
    assert KestEngine() is not engine


@pytest.mark.parametrize(
    "method, signature",
    [("probe", "($self, path)"), ("get_blackbar_coords", "($self, path)"),
     ("transform", "($self, input, output, codec, res, crop, flags)"),
     ("remux", "($self, input, output)"), ("batch", "($self, tasks)")])
def test_method_signatures(method, signature):
    function = getattr(KestEngine, method)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None


def test_video_metadata_cannot_be_made():
    with pytest.raises(TypeError):
        VideoMetadata()
    with pytest.raises(TypeError):
        VideoMetadata(1, 2)
    assert VideoMetadata.__doc__ is None


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: KestEngine(1), "KestEngine.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: KestEngine(1, 2), "KestEngine.__new__() takes 0 positional arguments but 2 were given"),
        (lambda: KestEngine(x=1), "KestEngine.__new__() got an unexpected keyword argument 'x'"),
        (lambda: E.probe(), "KestEngine.probe() missing 1 required positional argument: 'path'"),
        (lambda: E.probe("a", "b"), "KestEngine.probe() takes 1 positional arguments but 2 were given"),
        (lambda: E.probe("a", path="a"), "KestEngine.probe() got multiple values for argument 'path'"),
        (lambda: E.probe(paths="a"), "KestEngine.probe() got an unexpected keyword argument 'paths'"),
        (lambda: E.get_blackbar_coords(), "KestEngine.get_blackbar_coords() missing 1 required positional argument: 'path'"),
        (lambda: E.get_blackbar_coords(1, 2, 3), "KestEngine.get_blackbar_coords() takes 1 positional arguments but 3 were given"),
        (lambda: E.transform("a", "b", "c"), "KestEngine.transform() missing 3 required positional arguments: 'res', 'crop', and 'flags'"),
        (lambda: E.transform(*SIX, "g"), "KestEngine.transform() takes 6 positional arguments but 7 were given"),
        (lambda: E.transform(*SIX[:5], input="x"), "KestEngine.transform() got multiple values for argument 'input'"),
        # Keywords are checked in call order, before missing parameters.
        (lambda: E.transform("a", bogus=1, input="x"), "KestEngine.transform() got an unexpected keyword argument 'bogus'"),
        (lambda: E.remux(), "KestEngine.remux() missing 2 required positional arguments: 'input' and 'output'"),
        (lambda: E.remux(output="o"), "KestEngine.remux() missing 1 required positional argument: 'input'"),
        (lambda: E.batch(), "KestEngine.batch() missing 1 required positional argument: 'tasks'"),
        (lambda: E.batch([], []), "KestEngine.batch() takes 1 positional arguments but 2 were given"),
        (lambda: E.batch(task=[]), "KestEngine.batch() got an unexpected keyword argument 'task'"),
    ])
def test_binding_errors(call, message, fake):
    with pytest.raises(TypeError) as raised:
        call()
    assert type(raised.value) is TypeError
    assert str(raised.value) == message
    assert fake.invocations() == []


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: E.probe(None), "argument 'path': 'None' is not an instance of 'str'"),
        (lambda: E.probe(b"x"), "argument 'path': 'bytes' object is not an instance of 'str'"),
        (lambda: E.probe(pathlib.Path("x")), "argument 'path': 'PosixPath' object is not an instance of 'str'"),
        (lambda: E.get_blackbar_coords(path=3.5), "argument 'path': 'float' object is not an instance of 'str'"),
        (lambda: E.remux(1, 2), "argument 'input': 'int' object is not an instance of 'str'"),
        (lambda: E.remux("in", 2), "argument 'output': 'int' object is not an instance of 'str'"),
        (lambda: E.transform("a", "b", "c", 720, "e", "f"), "argument 'res': 'int' object is not an instance of 'str'"),
        (lambda: E.transform(*SIX[:5], flags=["-y"]), "argument 'flags': 'list' object is not an instance of 'str'"),
    ])
def test_conversion_errors(call, message, fake):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message
    assert fake.invocations() == []


@pytest.mark.parametrize("call", [
    lambda: E.probe("\udc80"),
    lambda: E.remux("ok", "\ud800"),
    lambda: E.transform("a", "b", "c", "d", "\udfff", "f"),
])
def test_lone_surrogate_raises_the_interpreters_error(call, fake):
    with pytest.raises(UnicodeEncodeError):
        call()
    assert fake.invocations() == []


def test_str_subclass_and_empty_text_reach_the_child(engine, fake):
    assert engine.remux(Text("in put"), "") is True
    (record,) = fake.invocations("ffmpeg")
    assert record["argv"][6] == "in put"
    assert record["argv"][-1] == ""


def test_reimport_registers_the_same_classes():
    saved = sys.modules.pop("kestrin")
    try:
        import kestrin as again
        assert again is not saved
        assert again.KestEngine is saved.KestEngine
        assert again.VideoMetadata is saved.VideoMetadata
    finally:
        sys.modules["kestrin"] = saved


ENOENT = "No such file or directory (os error 2)"
NUL = "nul byte found in provided data"


@pytest.mark.parametrize("call, removed, message, started", [
    (lambda e: e.probe("in\0.mkv"), None, NUL, []),
    (lambda e: e.get_blackbar_coords("in\0.mkv"), None, NUL, []),
    (lambda e: e.remux("in.mkv", "out\0.mkv"), None, NUL, []),
    (lambda e: e.probe("in.mkv"), "ffprobe", ENOENT, []),
    (lambda e: e.get_blackbar_coords("in.mkv"), "ffprobe", ENOENT, []),
    # remux lists the input's attachments before it copies.
    (lambda e: e.remux("in.mkv", "out.mkv"), "ffmpeg", ENOENT, ["ffprobe"]),
    # So does an encode, for its cover pictures.
    (lambda e: e.transform("in.mkv", "out.mkv", "libx264", "720", "", ""), "ffmpeg", ENOENT,
     ["ffprobe"]),
])
def test_start_failures_are_plain_oserrors(engine, fake, call, removed, message, started):
    if removed:
        fake.remove(removed)
    with pytest.raises(OSError) as raised:
        call(engine)
    assert type(raised.value) is OSError
    assert raised.value.args == (message,)
    assert (raised.value.errno, raised.value.strerror, raised.value.filename) == (None, None, None)
    assert [r["program"] for r in fake.invocations()] == started


@pytest.mark.parametrize("hook, message", [
    ("throw_standard_exception", "broken invariant"),
    ("throw_other", "unknown internal fault"),
    ("raise_internal_failure", "from the core"),
])
def test_internal_faults_become_panic_exception(hook, message):
    hooks = pytest.importorskip("kestrin_fault_hooks", reason="built only with the unit tests")
    with pytest.raises(BaseException) as raised:
        getattr(hooks, hook)()
    assert type(raised.value).__name__ == "PanicException"
    assert type(raised.value).__bases__ == (BaseException,)
    assert not isinstance(raised.value, Exception)
    assert raised.value.args == (message,)


@pytest.mark.parametrize("hook", ["throw_bad_alloc", "raise_memory_failure"])
def test_running_out_of_memory_is_memory_error(hook):
    hooks = pytest.importorskip("kestrin_fault_hooks", reason="built only with the unit tests")
    with pytest.raises(MemoryError):
        getattr(hooks, hook)()


def test_import_in_a_legacy_subinterpreter_fails_cleanly():
    interpreters = pytest.importorskip(
        "_interpreters", reason="the _interpreters module is new in Python 3.13")
    done = run_in_fresh_interpreter(
        "import _interpreters\n"
        "interp = _interpreters.create('legacy')\n"
        "print(_interpreters.run_string(interp, 'import kestrin'))\n"
        "import kestrin\n"
        "print(kestrin.KestEngine)\n")
    assert done.returncode == 0, done.stderr.decode()
    lines = done.stdout.decode().splitlines()
    assert "ImportError" in lines[0] and "main interpreter" in lines[0]
    assert lines[1] == "<class 'builtins.KestEngine'>"
