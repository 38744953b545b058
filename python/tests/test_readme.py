"""The README shows the two examples whole: what it shows is what runs."""
import os

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def test_the_readme_shows_the_examples_as_they_are():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    for name in ("read_units.py", "log_to_csv.py"):
        with open(os.path.join(ROOT, "python", "examples", name), encoding="utf-8") as f:
            assert "```python\n" + f.read() + "```" in readme, name
