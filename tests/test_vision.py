"""Image search: what pravlin_desktop.vision finds in a screenshot, in every form a caller hands it."""

import re

import numpy as np
import pytest

vision = pytest.importorskip("pravlin_desktop.vision")
pytest.importorskip("cv2")
Image = pytest.importorskip("PIL.Image")

Box = vision.Box


def screen(width=640, height=400, fill=(200, 200, 200)):
    """A screenshot as Desktop.screenshot gives it: blue, green, red, unused."""
    shot = np.empty((height, width, 4), np.uint8)
    shot[:, :, :3] = fill[::-1]
    shot[:, :, 3] = 0
    return shot


def icon(seed=1, size=(24, 32)):
    """A patterned RGB picture."""
    return np.random.default_rng(seed).integers(0, 256, (*size, 3), dtype=np.uint8)


def put(shot, rgb, left, top):
    h, w = rgb.shape[:2]
    shot[top:top + h, left:left + w, :3] = rgb[:, :, ::-1]


def test_a_template_is_found_whatever_form_it_comes_in(tmp_path):
    shot = screen()
    rgb = icon()
    put(shot, rgb, 300, 120)
    want = Box(300, 120, 32, 24)
    Image.fromarray(rgb).save(tmp_path / "icon.png")
    forms = {
        "RGB array": rgb,
        "gray array": np.asarray(Image.fromarray(rgb).convert("L")),
        "cut from a screenshot": shot[120:144, 300:332],
        "Pillow image": Image.fromarray(rgb),
        "path": tmp_path / "icon.png",
        "str path": str(tmp_path / "icon.png"),
        "Template": vision.Template(tmp_path / "icon.png"),
    }
    for name, template in forms.items():
        assert vision.locate(shot, template) == want, name
    assert vision.locate(Image.frombuffer("RGB", (640, 400), shot, "raw", "BGRX", 0, 1), rgb) == want
    assert vision.locate(shot, rgb, grayscale=True) == want
    # The fourth byte of a screenshot is not a colour: no value of it changes the result.
    shot[:, :, 3] = np.random.default_rng(5).integers(0, 256, shot.shape[:2], dtype=np.uint8)
    assert vision.locate(shot, rgb) == want


def test_the_score_separates_what_a_correlation_would_confuse():
    shot = screen(fill=(255, 255, 255))
    # A flat template is found where that colour is, not everywhere.
    shot[50:90, 400:500, :3] = (40, 90, 200)
    assert vision.locate(shot, np.full((10, 10, 3), (200, 90, 40), np.uint8)) == Box(400, 50, 10, 10)
    assert vision.locate(shot, np.full((10, 10, 3), (0, 0, 0), np.uint8)) is None
    # A greyed-out copy (the same pattern at half the contrast) is not the enabled original.
    rgb = icon(2)
    faded = (rgb // 2 + 128).astype(np.uint8)
    put(shot, faded, 100, 200)
    assert vision.locate(shot, rgb) is None
    box, score = vision.best_match(shot, rgb)
    assert box == Box(100, 200, 32, 24) and score < 0.8
    put(shot, rgb, 20, 20)
    assert vision.locate(shot, rgb, confidence=1.0) == Box(20, 20, 32, 24)


def test_locate_all_gives_separate_matches_best_first_in_image_coordinates():
    shot = screen()
    rgb = icon(3)
    put(shot, rgb, 500, 300)
    put(shot, rgb, 10, 10)
    put(shot, np.clip(rgb.astype(int) + 6, 0, 255).astype(np.uint8), 200, 150)   # close, not equal
    assert vision.locate_all(shot, rgb) == [Box(10, 10, 32, 24), Box(500, 300, 32, 24), Box(200, 150, 32, 24)]
    assert vision.locate_all(shot, rgb, confidence=1.0) == [Box(10, 10, 32, 24), Box(500, 300, 32, 24)]
    assert vision.locate_all(shot, rgb, limit=1) == [Box(10, 10, 32, 24)]
    assert vision.locate_all(shot, rgb, region=(150, 100, 300, 200)) == [Box(200, 150, 32, 24)]
    assert vision.locate(shot, rgb, region=(400, 200, 240, 200)) == Box(500, 300, 32, 24)
    assert vision.locate(shot, icon(4)) is None and vision.locate_all(shot, icon(4)) == []
    # Tiles of one colour: every place once, none overlapping.
    tiles = vision.locate_all(screen(64, 40), np.full((20, 16, 3), 200, np.uint8))
    assert sorted(tiles) == sorted(Box(x, y, 16, 20) for x in (0, 16, 32, 48) for y in (0, 20))


def test_only_opaque_pixels_of_a_transparent_template_are_compared():
    shot = screen(fill=(30, 30, 30))
    rgb = icon(6)
    put(shot, rgb, 100, 100)
    shot[90:100, 90:142, :3] = (0, 255, 0)        # unlike what the template has around the picture
    framed = Image.new("RGBA", (52, 44), (255, 0, 255, 0))
    framed.paste(Image.fromarray(rgb), (10, 10))
    assert vision.locate(shot, framed) == Box(90, 90, 52, 44)
    assert vision.locate(shot, framed.convert("RGB")) is None


def test_bad_input_is_refused_with_what_was_wrong(tmp_path):
    shot = screen()
    cases = [
        ((shot, np.zeros((4, 4), np.float32)), ValueError, "uint8"),
        ((shot, np.zeros((4, 4, 2), np.uint8)), ValueError, "shape is (4, 4, 2)"),
        ((shot, 7), TypeError, "not int"),
        ((shot, np.zeros((500, 10, 3), np.uint8)), ValueError, "10x500 template is larger than the 640x400 image"),
        ((shot, Image.new("RGBA", (4, 4))), ValueError, "no fully opaque pixel"),
    ]
    for args, error, text in cases:
        with pytest.raises(error, match=re.escape(text)):
            vision.locate(*args)
    with pytest.raises(ValueError, match="does not lie within the 640x400 image"):
        vision.locate(shot, icon(), region=(600, 0, 100, 100))
    with pytest.raises(ValueError, match="larger than the 20x20 region"):
        vision.locate(shot, icon(), region=(0, 0, 20, 20))
    with pytest.raises(ValueError, match="confidence must be a number from 0 to 1"):
        vision.locate(shot, icon(), confidence=1.5)
    with pytest.raises(ValueError, match="limit"):
        vision.locate_all(shot, icon(), limit=0)
    with pytest.raises(FileNotFoundError):
        vision.locate(shot, tmp_path / "missing.png")
