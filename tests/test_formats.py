"""Stored images must keep decoding to the same answers, re-encoding to the
same bytes and being rebuilt from the same inputs, so that images persisted by
one release read the same in every later one.

A deliberate change of an image or an answer is stored again with
`python3 tools/gen_format_data.py` and committed with the change.
"""

import hashlib
import json

import pytest

from format_cases import MANIFEST, RECIPES, answers_of, built_in_fresh_process
from registry import BYTE_CASES

REGENERATE = "if the change is deliberate, run python3 tools/gen_format_data.py and commit the result"
MANIFEST_ENTRIES = json.loads(MANIFEST.read_text())
CLASSES = sorted({recipe.cls.__name__ for recipe in RECIPES})


def test_every_class_with_an_image_is_stored():
    assert {case.name for case in BYTE_CASES} == set(CLASSES)
    assert set(MANIFEST_ENTRIES) == {recipe.key for recipe in RECIPES}, REGENERATE
    for recipe in RECIPES:
        assert recipe.path.exists(), recipe.key
        assert MANIFEST_ENTRIES[recipe.key]["rebuild"] == recipe.rebuild, recipe.key
    assert sum(recipe.path.stat().st_size for recipe in RECIPES) < 256 * 1024


def reencoding_of(recipe, image):
    # Images whose re-encoding differs (a coupon set's table order) store its hash.
    reencoded = recipe.cls.from_bytes(image).to_bytes()
    if "reencoded_sha256" in MANIFEST_ENTRIES[recipe.key]:
        return hashlib.sha256(reencoded).hexdigest()
    return reencoded


def failures_of(recipe, fresh):
    image = recipe.path.read_bytes()
    stored = MANIFEST_ENTRIES[recipe.key]["answers"]
    answers = answers_of(recipe, image)
    if answers != stored:
        changed = {key: (stored.get(key), answers.get(key)) for key in answers | stored
                   if answers.get(key) != stored.get(key)}
        yield f"{recipe.key}: answers changed (stored, now): {changed}"
    if reencoding_of(recipe, image) != MANIFEST_ENTRIES[recipe.key].get("reencoded_sha256", image):
        yield f"{recipe.key}: re-encoding changed"
    rebuilt = fresh[recipe.key] if recipe.fresh_process else recipe.build().to_bytes() if recipe.rebuild else image
    if rebuilt != image:
        yield f"{recipe.key}: the same inputs build another image"


@pytest.mark.parametrize("name", CLASSES)
def test_stored_images_read_answer_and_rebuild_the_same(name):
    recipes = [recipe for recipe in RECIPES if recipe.cls.__name__ == name]
    fresh = built_in_fresh_process([recipe for recipe in RECIPES if recipe.fresh_process]) \
        if any(recipe.fresh_process for recipe in recipes) else {}
    failures = [f for recipe in recipes for f in failures_of(recipe, fresh)]
    assert not failures, "\n".join(failures + [REGENERATE])
