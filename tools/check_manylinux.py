"""Reads the output of `auditwheel show WHEEL` and fails unless the wheel's modules need nothing
newer than the given glibc (the release wheel promises manylinux_2_28: glibc 2.28, whose pow the
modules' results are checked against, and later)."""

import re
import sys

show, newest = sys.argv[1], int(sys.argv[2])
text = " ".join(open(show).read().split())
named = re.search(r"-manylinux_2_(\d+)_x86_64\.whl is consistent", text)
constraint = re.search(r'platform tag: "manylinux_2_(\d+)_x86_64"', text)
if named is None or constraint is None or int(named.group(1)) != newest:
    sys.exit(f"{show}: not a manylinux_2_{newest} wheel that auditwheel show accepts")
if int(constraint.group(1)) > newest:
    sys.exit(f"{show}: the wheel needs glibc 2.{constraint.group(1)}, more than 2.{newest}")
print(f"wheel tagged manylinux_2_{newest}; its symbols need glibc 2.{constraint.group(1)}")
