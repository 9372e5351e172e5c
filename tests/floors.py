#!/usr/bin/env python3
"""The code folders are floors: a file includes only from its own floor or below, and no two folders
include each other. Fails naming each include that breaks this."""
import os
import re
import sys

FLOORS = {"frontend": 5, "tools": 5, "engine": 4, "transfer": 3, "infofile": 3, "config": 3,
          "integrity": 2, "support": 2, "core": 1}
ROOT = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(__file__))

edges, wrong = set(), []
for folder, floor in FLOORS.items():
    path = os.path.join(ROOT, folder)
    names = sorted(os.listdir(path)) if os.path.isdir(path) else []
    for name in filter(re.compile(r"\.(cpp|h|l|y)$").search, names):
        with open(os.path.join(ROOT, folder, name)) as source:
            for target in re.findall(r'^#include "(\w+)/', source.read(), re.M):
                if target in FLOORS and target != folder:
                    edges.add((folder, target))
                    if FLOORS[target] > floor or folder == "core":
                        wrong.append("%s/%s includes %s/" % (folder, name, target))
wrong += ["%s and %s include each other" % pair for pair in sorted(edges)
          if pair < pair[::-1] and pair[::-1] in edges]
print("\n".join(wrong) or "%d folder includes, all downwards" % len(edges))
sys.exit(1 if wrong else 0)
