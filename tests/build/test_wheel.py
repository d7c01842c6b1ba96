"""The installed distribution, as a service gets it from the wheel.

These run against an installed wheel (COMMUNITY_TEST_INSTALLED=1, as
`./dev.sh check` and CI run the suite); an in-place build has no
distribution to look at.
"""
import re
from importlib import metadata
from pathlib import Path, PurePosixPath

import pytest
from packaging.requirements import Requirement

from checkout import INSTALLED, ROOT, is_checkout_path

pytestmark = pytest.mark.skipif(not INSTALLED, reason="needs the package installed from its wheel")

DIST = "kestrelio-community"


def installed():
    """The distribution in the site-packages `community` was imported from
    (a build in the checkout leaves metadata of its own there)."""
    import community.models.cogsift

    site = Path(community.models.cogsift.__file__).resolve().parents[2]
    (dist,) = [d for d in metadata.distributions(path=[str(site)]) if d.metadata["Name"] == DIST]
    return dist


def installed_files():
    return {PurePosixPath(str(path)) for path in installed().files}


def test_wheel_holds_the_package_and_nothing_beside_it():
    files = installed_files()
    top_level = {path.parts[0] for path in files}
    assert top_level == {"community", "kestrelio_community-1.0.0.dist-info"}, top_level
    names = {str(path) for path in files}
    for wanted in ("community/py.typed", "community/models/cogsift.pyi", "community/retrievers/qor.pyi",
                   "community/keyinfo_extractors/model/README.md"):
        assert wanted in names
    for module in ("community/models/cogsift", "community/retrievers/qor"):
        assert any(re.fullmatch(re.escape(module) + r"\.cpython-\d+.*\.so", name) for name in names), module
    assert not any(name.startswith("community/buildmint") for name in names)


def test_metadata_comes_from_the_build_script_and_the_requirements_file():
    dist = installed()
    script = (ROOT / "community" / "buildmint.py").read_text()
    assert f'version="{dist.version}"' in script
    lines = (line.split("#")[0].strip() for line in (ROOT / "community" / "requirements.txt").read_text().splitlines())
    assert {str(Requirement(r)) for r in dist.requires} == {str(Requirement(line)) for line in lines if line}
    assert dist.metadata["Requires-Python"] == ">=3.10"


def test_modules_are_the_installed_ones():
    import community.models.cogsift as cogsift
    import community.retrievers.qor as qor

    for module in (cogsift, qor):
        assert "site-packages" in Path(module.__file__).parts and not is_checkout_path(module.__file__)
    assert not hasattr(cogsift, "_fast_attributes"), "a test hook shipped"
