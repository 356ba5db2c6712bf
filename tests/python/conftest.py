"""The module under test is the one built beside these tests (PYTHONPATH
names its folder); the files they read are made in a temporary folder."""
import os

import hypothesis

hypothesis.settings.register_profile("csv_line", deadline=None, max_examples=300, print_blob=True)
hypothesis.settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "csv_line"))
