"""The site builds warning-free, every gallery example ran and left its pictures."""


def test_build_without_warnings(site):
    assert (site / "index.html").is_file()


def test_every_gallery_example_ran(site):
    src = site.parents[1] / "examples"
    for example in sorted(src.glob("plot_*.py")):
        page = site / "auto_examples" / f"{example.stem}.html"
        assert page.is_file(), f"{example.name} has no page"
        images = list((site / "_images").glob(f"sphx_glr_{example.stem}_*.png"))
        assert images and all(p.stat().st_size > 1000 for p in images), example.name
