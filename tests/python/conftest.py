"""The module under test is the one built beside these tests (PYTHONPATH
names its folder); the files they read are made in a temporary folder."""
import os

import hypothesis
import pytest

hypothesis.settings.register_profile("csv_line", deadline=None, max_examples=300, print_blob=True)
hypothesis.settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "csv_line"))


@pytest.fixture
def write(tmp_path):
    """Writes a test's input (str or bytes) into its temporary folder and
    returns the path."""
    def write(data, name="input.csv"):
        path = tmp_path / name
        path.write_bytes(data if isinstance(data, bytes) else data.encode())
        return str(path)
    return write
