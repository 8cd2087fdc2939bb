"""The behaviour digests: seeded outputs and error texts, row for row as recorded in
digests/ (digest_table.py says what the rows hold; HACKING.md when to record them again)."""

import pytest

import digest_table


@pytest.mark.parametrize("table", digest_table.TABLES)
def test_the_table_is_as_recorded(table):
    folder = digest_table.missing_folder(table)
    if folder is not None:
        pytest.skip(f"the real files of the {table} table are not at {folder} "
                    f"(set {digest_table.FOLDER_VARIABLES[table]} to their folder)")
    changed = digest_table.differences(digest_table.read_recorded(table), digest_table.build(table))
    if changed:
        pytest.fail(digest_table.report(table, changed), pytrace=False)
