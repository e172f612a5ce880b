"""A MemoryError raised before an allocation that cannot fit says what was being allocated, how
much it needs and how much is available."""

import re

import pytest

import kelvo

SIZE = r"\d+(\.\d+)? ([KMGTPE]iB|bytes?)"


def test_sample_records_beyond_memory():
    with pytest.raises(MemoryError) as info:
        kelvo.compile("M 0 1 2 3 4 5 6 7").sample(2**50, seed=1)
    assert re.fullmatch(f"not enough memory for the sample records: 8.00 PiB needed, {SIZE} "
                        f"available \\({SIZE} free less {SIZE} kept free\\)", str(info.value))


def test_a_line_beyond_memory():
    with pytest.raises(MemoryError) as info:
        kelvo.parse("H 0\nMPP Z99999999999999")
    assert re.fullmatch(f"not enough memory for the instruction on line 2: {SIZE} needed, {SIZE} "
                        "available", str(info.value))
