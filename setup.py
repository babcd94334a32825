"""Build of the native module Windows_QUMA.System.systemDefine.

Set SYSTEMDEFINE_STRICT=1 to turn compiler warnings into errors (the test
and CI builds do); a user's install never fails on a newer compiler's
warnings.  SYSTEMDEFINE_SANITIZE=1 builds with AddressSanitizer and
UndefinedBehaviorSanitizer, SYSTEMDEFINE_SANITIZE=thread with
ThreadSanitizer.
"""
import os
import sys
import sysconfig

from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))
SANITIZERS = {"1": "address,undefined", "thread": "thread"}
SANITIZE = SANITIZERS.get(os.environ.get("SYSTEMDEFINE_SANITIZE", ""))
SOURCES = [
    "System/module.cpp",
    "System/failure.cpp",
    "System/definitions.cpp",
    "System/singleton.cpp",
    "System/function_type.cpp",
    "System/instance_cache.cpp",
    "System/state.cpp",
]


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def compile_args():
    strict = os.environ.get("SYSTEMDEFINE_STRICT") == "1"
    if sys.platform == "win32":
        return ["/std:c++17", "/W4"] + (["/WX"] if strict else [])
    args = [
        "-std=c++17",
        "-fvisibility=hidden",
        "-fno-exceptions",
        "-fno-rtti",
        "-Wall",
        "-Wextra",
        "-Wconversion",
        "-Wno-missing-field-initializers",
    ]
    if sys.version_info >= (3, 12):
        # Older headers write null pointers as 0 in their macros.  (Even
        # the newest ones still cast C-style in Py_INCREF and friends, so
        # -Wold-style-cast stays off.)
        args.append("-Wzero-as-null-pointer-constant")
    if strict:
        args.append("-Werror")
    if SANITIZE:
        args += ["-fsanitize=" + SANITIZE, "-fno-omit-frame-pointer",
                 "-O1", "-g"]
        if SANITIZE != "thread":
            args.append("-fno-sanitize-recover=undefined")
    return args


def link_args():
    if sys.platform != "win32" and SANITIZE:
        return ["-fsanitize=" + SANITIZE]
    return []


def cxx_link_command():
    """PyPy's configuration has no C++ link command, which setuptools
    needs for a C++ extension: derive it from the C one, as CPython's
    configure does, unless the user gave one."""
    config = sysconfig.get_config_vars()
    if config.get("LDCXXSHARED") or "LDCXXSHARED" in os.environ:
        return
    cc, cxx, ldshared = (os.environ.get(name, config.get(name) or "")
                         for name in ("CC", "CXX", "LDSHARED"))
    if cc and cxx and ldshared.startswith(cc):
        os.environ["LDCXXSHARED"] = cxx + ldshared[len(cc):]
    elif cxx:
        os.environ["LDCXXSHARED"] = cxx + " -shared"


cxx_link_command()
def build_base():
    """A build tree per runtime ABI, and per instrumentation, so that no
    build picks up another's files: a 32-bit interpreter in a root on a
    64-bit machine names its platform as the machine's, and would share
    the 64-bit build's directory (and put both binaries in the wheel)."""
    abi = (sysconfig.get_config_var("EXT_SUFFIX") or ".so").strip(".")
    abi = abi.rsplit(".", 1)[0] or "default"
    return os.path.join("build", SANITIZE.split(",")[0] if SANITIZE
                        else "plain", abi)


setup(
    options={"build": {"build_base": build_base()}},
    ext_modules=[
        Extension(
            "Windows_QUMA.System.systemDefine",
            sources=SOURCES,
            depends=[os.path.join("System", name) for name in os.listdir(
                os.path.join(HERE, "System")) if name.endswith(".h")],
            language="c++",
            define_macros=[
                ("SYSTEMDEFINE_BUILD_ROOT", c_string(HERE + os.sep)),
            ],
            extra_compile_args=compile_args(),
            extra_link_args=link_args(),
        )
    ],
)
