"""Writes the files the package ships beside the guide, taken from the guide itself so that the
two never differ: the nginx example (the first ```nginx block of docs/publishing.md).

    python3 doc_files.py docs/publishing.md nginx-site.conf
"""

import re
import sys


def nginx_example(guide):
    found = re.search(r"^```nginx\n(.*?)^```$", guide, re.MULTILINE | re.DOTALL)
    if not found:
        raise SystemExit("no ```nginx block in the guide")
    return found.group(1)


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as guide, open(sys.argv[2], "w", encoding="utf-8") as out:
        out.write("# The nginx site of docs/publishing.md, section 4 (qvs-release).\n" + nginx_example(guide.read()))
