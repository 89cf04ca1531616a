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
  platform/dv                         DV, in three rooms that see the platform only through its
                                      public headers (platform/include); here itself only the
                                      numbers they share (ntsc_dv.h)
  platform/dv/deck, platform/dv/ieee1394
                                      the virtual deck; the IEEE 1394 bus and transport (neither
                                      sees the other; the transport implements the filters'
                                      transport interface, a header with nothing to link)
  platform/dv/filters                 the DV server's filters, the device filter and provider (on
                                      the filter kit)
  platform/tools                      the platform's programs
  platform/tools/stripe               the striping program: COM, the published interfaces and the
                                      extension header only, and the failure messages
The system (framework, filter, server, app, data, messages) sees the platform only through the headers a
program for the original platform would include: <windows.h>, <objbase.h>, <dshow.h>. The
platform never includes the system, and the library (framework, filter, server) never includes
the control program (app) or the other way round.

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
    "platform/dv/deck": {"platform/support", "platform/include", "platform/dv"},
    "platform/dv/ieee1394": {"platform/support", "platform/include", "platform/dv"},
    "platform/dv/filters": {"platform/support", "platform/include", "platform/filterkit",
                            "platform/dv", "platform/dv/deck", "platform/dv/ieee1394"},
    "platform/tools": {"platform/support", "platform/include", "platform/kernel",
                       "platform/registry", "platform/com", "platform/streaming",
                       "platform/filterkit", "platform/dv",
                       "platform/dv/deck", "platform/dv/ieee1394", "platform/dv/filters"},
    # The striping program: a program of the platform's kind that uses COM and the published
    # interfaces only (and the platform's extension header for the tone), and the system's own
    # failure messages.
    "platform/tools/stripe": {"platform/include", "messages"},
    "messages": {"platform/include"},
    "framework": {"platform/include"},
    "filter": {"platform/include", "framework"},
    "server": {"platform/include", "framework", "filter"},
    "data": {"platform/include"},
    "app": {"platform/include", "messages"},
}
# The public headers of the platform that system code may name.
SYSTEM_VISIBLE = {"windows.h", "objbase.h", "dshow.h"}
SYSTEM = {"framework", "filter", "server", "data", "app", "messages"}
SOURCE_ENDINGS = (".h", ".hpp", ".cpp", ".cc", ".c")


def layer_of(path):
    """The layer folder a repository-relative path belongs to, or None."""
    best = None
    for layer in ALLOWED:
        if path == layer or path.startswith(layer + "/"):
            if best is None or len(layer) > len(best):
                best = layer
    return best


def resolve(root, including, name, quoted):
    """The repository-relative path an include names, or None for a header outside the tree."""
    here = os.path.dirname(including)
    candidates = []
    if quoted:
        candidates.append(os.path.join(here, name))
    # The include folders the build uses: the platform's public headers, the platform folder
    # itself (for "streaming/...", "filterkit/..."), the DV folder (for "deck/..."), the failure messages, the
    # support folder (every target linking platform_support gets it, so "log.h" names the support
    # header), the repository root.
    candidates += [os.path.join("platform/include", name), os.path.join("platform", name),
                   os.path.join("platform/dv", name), os.path.join("messages", name),
                   os.path.join("platform/support", name), name]
    for candidate in candidates:
        full = os.path.join(root, candidate)
        if os.path.isfile(full):
            return os.path.relpath(os.path.realpath(full), os.path.realpath(root))
    return None


def check(root):
    problems = []
    for layer in ALLOWED:
        top = os.path.join(root, layer)
        for folder, _, files in os.walk(top):
            for file in files:
                if not file.endswith(SOURCE_ENDINGS):
                    continue
                path = os.path.relpath(os.path.join(folder, file), root)
                own = layer_of(path)
                with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        quoted, name = match.group(1) == '"', match.group(2)
                        target = resolve(root, path, name, quoted)
                        if target is None:
                            continue  # a system or library header
                        target_layer = layer_of(target)
                        if target_layer is None or target_layer == own:
                            continue
                        if target_layer not in ALLOWED[own]:
                            problems.append(f"{path}:{number}: {own} includes {target}")
                        elif own in SYSTEM and target_layer == "platform/include" \
                                and os.path.relpath(target, "platform/include") not in SYSTEM_VISIBLE:
                            problems.append(f"{path}:{number}: system code includes the "
                                            f"platform-private header {target}")
    return problems


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    problems = check(sys.argv[1])
    for problem in problems:
        print(problem)
    print(f"{len(problems)} include(s) crossing the layers the wrong way")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
