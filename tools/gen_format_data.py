#!/usr/bin/env python3
"""Writes the stored images and answers of tests/data from tests/format_cases.py.

    python3 tools/gen_format_data.py            # every class
    python3 tools/gen_format_data.py CpcSketch  # only the named classes

Run it against the build under test (by default build/dev, the one `make dev`
makes) after a deliberate change of an image or an answer, and commit the
result with that change. Images that draw from a random generator are kept as
stored while today's build reads and writes them unchanged, so regenerating
does not churn them; their answers are read again.
"""

import hashlib
import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "build" / "dev"), str(ROOT / "tests")]

from format_cases import IMAGES, MANIFEST, RECIPES, answers_of, built_in_fresh_process  # noqa: E402


def stored_random_image(recipe):
    if recipe.rebuild or not recipe.path.exists():
        return None
    image = recipe.path.read_bytes()
    try:
        same = recipe.cls.from_bytes(image).to_bytes() == image
    except ValueError:
        return None
    return image if same else None


def main(only):
    manifest = json.loads(MANIFEST.read_text()) if MANIFEST.exists() else {}
    chosen = [recipe for recipe in RECIPES if not only or recipe.cls.__name__ in only]
    # Recipes seeded from a process-wide counter are built all together, in order.
    fresh = built_in_fresh_process([recipe for recipe in RECIPES if recipe.fresh_process]) \
        if any(recipe.fresh_process for recipe in chosen) else {}
    for recipe in chosen:
        image = fresh.get(recipe.key) or stored_random_image(recipe) or recipe.build().to_bytes()
        recipe.path.parent.mkdir(parents=True, exist_ok=True)
        recipe.path.write_bytes(image)
        entry = {"rebuild": recipe.rebuild, "answers": answers_of(recipe, image)}
        reencoded = recipe.cls.from_bytes(image).to_bytes()
        if reencoded != image:
            # A decoded coupon set is built again by insertion, so its table
            # order, and with it the image, may differ from the one stored.
            entry["reencoded_sha256"] = hashlib.sha256(reencoded).hexdigest()
        manifest[recipe.key] = entry
    known = {recipe.key for recipe in RECIPES}
    manifest = {key: manifest[key] for key in sorted(manifest) if key in known}
    for stale in IMAGES.glob("*/*.bin"):
        if f"{stale.parent.name}.{stale.stem}" not in known:
            stale.unlink()
    MANIFEST.write_text(json.dumps(manifest, indent=1, sort_keys=True) + "\n")
    total = sum(path.stat().st_size for path in IMAGES.glob("*/*.bin"))
    print(f"{len(manifest)} images, {total} bytes, answers in {MANIFEST.relative_to(ROOT)}")


if __name__ == "__main__":
    main(set(sys.argv[1:]))
