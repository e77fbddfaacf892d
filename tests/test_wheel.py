"""The wheel stands on its own: Botan and the C++ runtime built in, nothing
exported but the module's entry point, a manylinux tag from auditwheel, and a
fresh environment imports it rather than the development install.

`./dev test` hands the repaired wheel it built in ORVANECRYPTO_WHEEL and then
runs the whole suite against it in a bare root (no compiler, no Botan);
without that variable these tests build and repair one themselves, and skip
where there is nothing to build with (as in that bare root). Set
ORVANECRYPTO_SKIP_WHEEL_TEST to skip them.
"""

import email.parser
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest


pytestmark = pytest.mark.skipif(
    bool(os.environ.get("ORVANECRYPTO_SKIP_WHEEL_TEST")),
    reason="ORVANECRYPTO_SKIP_WHEEL_TEST is set: the wheel is not built and tested in this run",
)

REPO = Path(__file__).resolve().parent.parent
STUB = Path("orvanecrypto-stubs") / "__init__.pyi"
# Words of the maintainers' guide (docs/) that the package page, the README,
# must not carry.
MAINTAINERS_ONLY = ("wheels-test", "check-wheels.py", "zig-target.sh", "./dev mutate")
# What a manylinux wheel may need from the system: the C library, its parts
# that older systems ship apart, and the loader.
# libgcc_s is the system's unwinder, which glibc itself loads to unwind an
# exiting thread; every manylinux policy allows it.
SYSTEM_LIBRARIES = re.compile(r"(libc|libm|libpthread|libdl)\.so\.\d+|libgcc_s\.so\.1|ld-linux[\w.-]*\.so\.\d+|ld64\.so\.\d+"
                              r"|libc\.musl-\w+\.so\.1")


def run(args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, timeout=900, **kwargs)
    assert result.returncode == 0, f"{args} failed:\n{result.stdout}\n{result.stderr}"
    return result


def require_tools(*names):
    missing = [name for name in names if shutil.which(name) is None]
    if missing:
        pytest.skip(f"{', '.join(missing)} not on PATH: this machine cannot build or inspect the wheel")


def require_auditwheel():
    if subprocess.run([sys.executable, "-c", "import auditwheel"], capture_output=True).returncode != 0:
        pytest.skip("auditwheel is not installed (Debian package python3-auditwheel)")


@pytest.fixture(scope="session")
def project():
    with open(REPO / "pyproject.toml", "rb") as file:
        return tomllib.load(file)["project"]


@pytest.fixture(scope="session")
def wheel(tmp_path_factory):
    """The repaired stand-alone wheel: the one ./dev built, or one built here
    with Botan bundled, in a scratch directory with a build tree of its own."""
    given = os.environ.get("ORVANECRYPTO_WHEEL")
    if given:
        assert Path(given).is_file(), f"ORVANECRYPTO_WHEEL={given} does not exist"
        return Path(given)
    require_tools("c++", "cmake")
    require_auditwheel()
    scratch = tmp_path_factory.mktemp("wheel-build")
    run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
         "--disable-pip-version-check", "-Ccmake.define.ORVANECRYPTO_BOTAN=bundled",
         f"-Cbuild-dir={scratch / 'build'}", "--wheel-dir", str(scratch / "raw"), str(REPO)])
    (raw,) = (scratch / "raw").glob("*.whl")
    run([sys.executable, "-m", "auditwheel", "repair", "--wheel-dir", str(scratch / "dist"), str(raw)])
    (repaired,) = (scratch / "dist").glob("*.whl")
    return repaired


@pytest.fixture(scope="session")
def wheel_module(wheel, tmp_path_factory):
    """The extension module inside the wheel, unpacked."""
    directory = tmp_path_factory.mktemp("wheel-module")
    with zipfile.ZipFile(wheel) as archive:
        (name,) = [n for n in archive.namelist() if n.startswith("orvanecrypto.") and n.endswith(".so")]
        return Path(archive.extract(name, directory))


@pytest.fixture(scope="session")
def venv_python(wheel, tmp_path_factory):
    """A fresh environment holding the wheel. It sees the system's packages
    but not the development install."""
    venv = tmp_path_factory.mktemp("wheel-venv") / "venv"
    run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)])
    python = venv / "bin" / "python"
    # A self-built interpreter reaches Debian's pure-Python packages through a
    # path file of its environment (see ./dev); the new one needs it too.
    link = Path(sysconfig.get_paths()["purelib"]) / "debian-dist-packages.pth"
    if link.exists():
        new_site = Path(sysconfig.get_paths(vars={"base": str(venv), "platbase": str(venv)})["purelib"])
        shutil.copy(link, new_site / link.name)
    # The pip of this environment installs into the new one, which has none.
    run([sys.executable, "-m", "pip", "--python", str(python), "install", "--no-deps", "--no-index",
         "--disable-pip-version-check", "--root-user-action=ignore", str(wheel)])
    return python


def needed_libraries(path):
    dynamic = run(["readelf", "--dynamic", "--wide", str(path)]).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)


def exported_symbols(path):
    lines = run(["nm", "--dynamic", "--defined-only", "--extern-only", str(path)]).stdout.splitlines()
    return [line.split()[-1] for line in lines if line.strip()]


def foreign_undefined_symbols(path):
    """Undefined symbols that a bare machine would not resolve: Botan's and the C++ runtime's."""
    lines = run(["nm", "--dynamic", "--undefined-only", "--demangle", str(path)]).stdout.splitlines()
    return [line.strip() for line in lines if "Botan::" in line or re.search(r"@(GLIBCXX|CXXABI)_", line)]


def test_wheel_holds_the_module_the_stubs_and_the_metadata(wheel, project):
    with zipfile.ZipFile(wheel) as archive:
        # auditwheel writes directory entries too.
        names = [name for name in archive.namelist() if not name.endswith("/")]
        dist_info = f"orvanecrypto-{project['version']}.dist-info"
        metadata = email.parser.Parser().parsestr(archive.read(f"{dist_info}/METADATA").decode())
        stub = archive.read(STUB.as_posix())

    top_level = {name.split("/")[0] for name in names}
    (module,) = [name for name in top_level if name.startswith("orvanecrypto.") and name.endswith((".so", ".pyd"))]
    assert top_level == {module, "orvanecrypto-stubs", dist_info}
    assert [name for name in names if name.startswith("orvanecrypto-stubs/")] == [STUB.as_posix()]
    assert stub == (REPO / "stubs" / STUB).read_bytes()
    assert f"{dist_info}/licenses/LICENSE" in names
    licences = [name for name in names if name.startswith(f"{dist_info}/licenses/")]
    assert any("The Botan Authors" in archive_text(wheel, name) for name in licences)
    # The release wheels name every licence file they carry, and more
    # licences than the module's own (tools/wheels/check-wheels.py checks
    # which); the module's comes first.
    if metadata.get_all("License-File", []) != ["LICENSE"]:
        assert sorted(f"{dist_info}/licenses/{name}" for name in metadata.get_all("License-File")) == sorted(licences)
        assert metadata["License-Expression"].startswith(f"{project['license']} AND ")
    else:
        assert metadata["License-Expression"] == project["license"]

    assert metadata["Name"] == "orvanecrypto"
    assert metadata["Version"] == project["version"]
    assert metadata["Requires-Python"] == project["requires-python"]
    classifiers = metadata.get_all("Classifier")
    assert {"Programming Language :: Python :: 3.14", "Programming Language :: Python :: 3.15"} <= set(classifiers)
    free_threading = [classifier for classifier in classifiers if "Free Threading" in classifier]
    assert free_threading == ["Programming Language :: Python :: Free Threading :: 2 - Beta"]


def check_package_page(metadata_text):
    """The long description of a wheel's METADATA or an sdist's PKG-INFO is the README, without the guide."""
    metadata = email.parser.Parser().parsestr(metadata_text)
    page = metadata.get_payload()
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert [word for word in MAINTAINERS_ONLY if word in page] == []
    if (REPO / "README.md").is_file():
        assert page.strip() == (REPO / "README.md").read_text().strip()
    # Control: the guide, which the package page used to carry, has every one of them.
    guide = "".join(path.read_text() for path in (REPO / "docs").glob("*.md"))
    if guide:
        assert [word for word in MAINTAINERS_ONLY if word not in guide] == []


def test_the_package_page_is_the_readme_without_the_maintainers_guide(wheel, project):
    check_package_page(archive_text(wheel, f"orvanecrypto-{project['version']}.dist-info/METADATA"))


def test_fresh_environment_imports_the_wheel_not_the_development_install(venv_python, tmp_path, project):
    result = run(
        [str(venv_python), "-c",
         "import importlib.metadata, orvanecrypto; "
         "print(orvanecrypto.__file__); print(importlib.metadata.version('orvanecrypto'))"],
        cwd=tmp_path,
    )
    module_file, version = result.stdout.split()
    assert Path(module_file).is_relative_to(venv_python.parent.parent)
    assert version == project["version"]


def archive_text(wheel, name):
    with zipfile.ZipFile(wheel) as archive:
        return archive.read(name).decode()


def test_wheel_module_needs_nothing_but_the_c_library(wheel_module):
    require_tools("readelf", "nm")
    needed = needed_libraries(wheel_module)
    assert needed and all(SYSTEM_LIBRARIES.fullmatch(name) for name in needed), needed
    assert foreign_undefined_symbols(wheel_module) == []
    assert exported_symbols(wheel_module) == ["PyInit_orvanecrypto"]


def test_the_same_checks_flag_a_module_linked_to_the_system_botan():
    # Control: the development install links the shared Botan and C++ runtime,
    # which the checks above must notice, and numpy's core module exports more
    # than its entry point.
    require_tools("readelf", "nm")
    numpy_core = pytest.importorskip("numpy._core._multiarray_umath", exc_type=ImportError,
                                     reason="numpy does not import on this interpreter")
    import orvanecrypto

    assert len(exported_symbols(numpy_core.__file__)) > 1

    needed = needed_libraries(orvanecrypto.__file__)
    if not any(name.startswith("libbotan") for name in needed):
        pytest.skip(f"the installed module is not linked to a shared Botan (NEEDED: {needed})")
    assert not all(SYSTEM_LIBRARIES.fullmatch(name) for name in needed)
    assert any("Botan::" in symbol for symbol in foreign_undefined_symbols(orvanecrypto.__file__))


def test_auditwheel_gives_the_wheel_a_manylinux_tag(wheel):
    require_auditwheel()
    # The platform field may be a set: manylinux2014_x86_64.manylinux_2_17_x86_64.
    platforms = wheel.name[:-len(".whl")].split("-")[-1].split(".")
    tags = [tag for tag in platforms if re.fullmatch(r"manylinux_\d+_\d+_\w+", tag)]
    assert tags, wheel.name
    shown = run([sys.executable, "-m", "auditwheel", "show", str(wheel)]).stdout
    assert f'"{tags[0]}"' in shown, shown


def test_sdist_holds_the_build_and_leaves_out_benchmark_figures_and_ci(tmp_path):
    if subprocess.run([sys.executable, "-c", "import build"], capture_output=True).returncode != 0:
        pytest.skip("the build package is not installed (Debian package python3-build)")
    if not (REPO / "bench" / "results.json").is_file() or not (REPO / ".ci").is_dir():
        pytest.skip("not a checkout: no benchmark figures or CI script to leave out")
    run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(tmp_path), str(REPO)])
    (sdist,) = tmp_path.glob("orvanecrypto-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
        check_package_page(archive.extractfile(f"{sdist.name[:-len('.tar.gz')]}/PKG-INFO").read().decode())
    assert {"CMakeLists.txt", "LICENSE", "cmake/BundledBotan.cmake", "cmake/exports.map",
            "src/surface/module.cpp", "stubs/orvanecrypto-stubs/__init__.pyi"} <= names
    assert not [name for name in names if name.startswith(("bench/results.", ".ci/"))]
