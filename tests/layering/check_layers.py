#!/usr/bin/env python3
"""Fails when an #include crosses the project's layers the wrong way.

The layers, lowest first (a folder may include its own headers and those of the layers below):
  platform/support                    helpers every platform module links (they see the
                                      public headers, platform/include, and nothing else)
  platform/kernel                     threads, events, modules, text
  platform/registry                   the registry store
  platform/com                        COM runtime and server loading
  platform/streaming                  graph manager, allocators, mappers, device enumeration
  platform/filterkit                  the kit the platform's own servers write filters with (the
                                      support helpers and the public headers only)
  platform/dv                         DV, in four rooms that see the platform only through its
                                      public headers (platform/include); here itself only the
                                      numbers they share (dv_system.h)
  platform/dv/dif                     the frame's system data: DIF layout, packs, BCD, timecode
                                      (below the deck, the IEEE 1394 room's deck control and the
                                      filters, and the striping program's labels)
  platform/dv/deck, platform/dv/ieee1394
                                      the virtual deck; the IEEE 1394 bus and transport (neither
                                      sees the other; the transport implements the filters'
                                      transport interface, a header with nothing to link)
  platform/dv/filters                 the DV server's filters, the device filter and provider (on
                                      the filter kit)
  platform/tools                      the platform's programs
The system (framework, filter, server, app, data, messages, graph, stripe) sees the platform only
through the headers a program for the original platform would include: <windows.h>,
<objbase.h>, <dshow.h>; the striping program (stripe) also through the platform's extension
header <platform/platform.h>. The platform never includes the system, and the library
(framework, filter, server) never includes the programs (app, stripe) or the other way round.
  messages                            the texts the programs show
  graph                               the graph steps the programs share (the public headers only)
  app, stripe                         Tamsel; the striping program (+ messages, graph; neither
                                      sees the other; the striping program also names its
                                      timecode labels and its tape checker reads frames with
                                      platform/dv/dif, which has no state; the checker also
                                      takes what a pattern and a leader look like from their one
                                      description, two headers of platform/dv/filters of plain
                                      values and functions, and nothing else of that room)

Every quoted include names its header's room: a header of the including file's own folder by its
bare name ("kit_pin.h"), a platform header from the platform folder ("support/log.h",
"dv/deck/deck_protocol.h"), anything else from the repository root ("framework/pin_base.h",
"tests/support/test_support.h"); the public headers are named in angle brackets (<dshow.h>). A
quoted include that resolves none of these ways, or climbs with "..", fails the check, in tests,
benchmarks and fuzzers too, so no include can hide from it.

Usage: check_layers.py REPOSITORY_ROOT
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')

# Folder -> the folders whose headers it may include (besides its own).
ALLOWED = {
    "platform/support": {"platform/include"},
    "platform/include": set(),
    "platform/kernel": {"platform/support", "platform/include"},
    "platform/registry": {"platform/support", "platform/include", "platform/kernel"},
    "platform/com": {"platform/support", "platform/include", "platform/kernel", "platform/registry"},
    "platform/streaming": {"platform/support", "platform/include", "platform/kernel",
                           "platform/registry", "platform/com"},
    "platform/filterkit": {"platform/support", "platform/include"},
    "platform/dv": {"platform/support", "platform/include"},
    "platform/dv/dif": {"platform/support", "platform/include", "platform/dv"},
    "platform/dv/deck": {"platform/support", "platform/include", "platform/dv", "platform/dv/dif"},
    "platform/dv/ieee1394": {"platform/support", "platform/include", "platform/dv", "platform/dv/dif"},
    "platform/dv/filters": {"platform/support", "platform/include", "platform/filterkit",
                            "platform/dv", "platform/dv/dif", "platform/dv/deck",
                            "platform/dv/ieee1394"},
    "platform/tools": {"platform/support", "platform/include", "platform/kernel",
                       "platform/registry", "platform/com", "platform/streaming",
                       "platform/filterkit", "platform/dv", "platform/dv/dif",
                       "platform/dv/deck", "platform/dv/ieee1394", "platform/dv/filters"},
    "messages": {"platform/include"},
    # The graph steps Tamsel's builder and the striping program share.
    "graph": {"platform/include"},
    "framework": {"platform/include"},
    "filter": {"platform/include", "framework"},
    "server": {"platform/include", "framework", "filter"},
    "data": {"platform/include"},
    "app": {"platform/include", "messages", "graph"},
    # The striping program: system code that also uses the platform's extension header (the
    # tone, the device's frame budget), counts its labels with the DV room's timecode and reads
    # frames' system data with its packs (the tape checker).
    "stripe": {"platform/include", "messages", "graph", "platform/dv/dif"},
}
# The public headers of the platform that system code may name.
SYSTEM_VISIBLE = {"windows.h", "objbase.h", "dshow.h"}
SYSTEM = {"framework", "filter", "server", "data", "app", "messages", "graph", "stripe"}
# System folders that may name a further public header.
SYSTEM_EXTRA_VISIBLE = {"stripe": {"platform/platform.h"}}
# Single headers of a folder that a layer may include though the folder is not among its own:
# the tape checker's knowledge of what each pattern and each frame of a leader look like.
EXTRA_HEADERS = {"stripe": {"platform/dv/filters/test_pattern.h",
                            "platform/dv/filters/leader_plan.h"}}
SOURCE_ENDINGS = (".h", ".hpp", ".cpp", ".cc", ".c")
# Folders outside the layers whose includes must still resolve.
UNLAYERED = ("tests", "bench", "fuzz")


def layer_of(path):
    """The layer folder a repository-relative path belongs to, or None."""
    best = None
    for layer in ALLOWED:
        if path == layer or path.startswith(layer + "/"):
            if best is None or len(layer) > len(best):
                best = layer
    return best


def resolve(root, including, name, quoted):
    """The repository-relative path an include names, or None for a header outside the tree.

    Every include names its header from one of the build's include roots: a quoted name is a
    header in the including file's own folder ("kit_pin.h"), a platform header named from the
    platform folder ("support/log.h", "dv/deck/deck_protocol.h") or any other header named from
    the repository root ("framework/pin_base.h", "tests/support/test_support.h"); a name in angle
    brackets is a public header (platform/include) or one outside the tree."""
    if quoted:
        candidates = [os.path.join(os.path.dirname(including), name),
                      os.path.join("platform", name), name]
    else:
        candidates = [os.path.join("platform/include", name)]
    for candidate in candidates:
        full = os.path.join(root, candidate)
        if os.path.isfile(full):
            return os.path.relpath(os.path.realpath(full), os.path.realpath(root))
    return None


def source_files(root, top):
    for folder, _, files in os.walk(os.path.join(root, top)):
        for file in sorted(files):
            if file.endswith(SOURCE_ENDINGS):
                yield os.path.relpath(os.path.join(folder, file), root)


def includes(root, path):
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            match = INCLUDE.match(line)
            if match:
                yield number, match.group(1) == '"', match.group(2)


def unresolved(root, path, number, quoted, name):
    """The problem with a quoted include that names no header of the tree from an include root,
    or None. (A header in angle brackets may come from outside the tree.)"""
    if not quoted:
        return None
    if ".." in name.split("/"):
        return f"{path}:{number}: \"{name}\" climbs out of its folder; name the header's room"
    if resolve(root, path, name, quoted) is None:
        return (f"{path}:{number}: \"{name}\" is no header of the tree's own folder, of the platform "
                "folder or of the repository root; name the header's room")
    return None


def check(root):
    problems = []
    for layer in ALLOWED:
        for path in source_files(root, layer):
            own = layer_of(path)
            if own != layer:
                continue  # walked again with its own, deeper layer
            for number, quoted, name in includes(root, path):
                problem = unresolved(root, path, number, quoted, name)
                if problem:
                    problems.append(problem)
                    continue
                target = resolve(root, path, name, quoted)
                if target is None:
                    continue  # a system or library header
                target_layer = layer_of(target)
                if target_layer is None or target_layer == own:
                    continue
                if target in EXTRA_HEADERS.get(own, set()):
                    continue
                if target_layer not in ALLOWED[own]:
                    problems.append(f"{path}:{number}: {own} includes {target}")
                elif own in SYSTEM and target_layer == "platform/include" \
                        and os.path.relpath(target, "platform/include") not in \
                        SYSTEM_VISIBLE | SYSTEM_EXTRA_VISIBLE.get(own, set()):
                    problems.append(f"{path}:{number}: system code includes the "
                                    f"platform-private header {target}")
    # Tests, benchmarks and fuzzers may include any layer, but by names that resolve the same way.
    for top in UNLAYERED:
        for path in source_files(root, top):
            for number, quoted, name in includes(root, path):
                problem = unresolved(root, path, number, quoted, name)
                if problem:
                    problems.append(problem)
    return problems


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    problems = check(sys.argv[1])
    for problem in problems:
        print(problem)
    print(f"{len(problems)} include(s) crossing the layers the wrong way or naming no room")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
