#!/usr/bin/python3
"""Acts on a row of the running wuqu window over AT-SPI, as a screen reader
would: finds the application, the track list by its accessible name, a cell
of the row titled TITLE, and runs that cell's action ACTION.

Usage: atspi_row_action.py LIST_NAME TITLE ACTION
Exits 0 once the action ran, 1 when the row or the action is not there,
2 when the application never showed up on the bus.
"""
import sys
import time

import pyatspi


def find(node, wanted, depth=0):
    if node is None or depth > 12:
        return None
    if wanted(node):
        return node
    for i in range(node.childCount):
        found = find(node.getChildAtIndex(i), wanted, depth + 1)
        if found is not None:
            return found
    return None


def main():
    list_name, title, action = sys.argv[1:4]
    app = None
    for _ in range(100):
        desktop = pyatspi.Registry.getDesktop(0)
        app = next((a for a in desktop if a is not None and a.name == "wuqu"), None)
        if app is not None:
            break
        time.sleep(0.1)
    if app is None:
        print("wuqu is not on the accessibility bus")
        return 2
    tracks = find(app, lambda n: n.name == list_name and n.childCount > 0)
    if tracks is None:
        print(f"no list named {list_name}")
        return 1
    cell = find(tracks, lambda n: n.name == title)
    if cell is None:
        print(f"no row titled {title}")
        return 1
    actions = cell.queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    print(f"actions of the row: {names}")
    if action not in names:
        return 1
    actions.doAction(names.index(action))
    return 0


if __name__ == "__main__":
    sys.exit(main())
