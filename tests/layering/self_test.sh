#!/usr/bin/env bash
# The layer check must fail on each kind of wrong include and pass on a tree without one.
set -euo pipefail
checker="$(dirname "$0")/check_layers.py"
tree="$(mktemp -d)"
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/platform/{include/platform,kernel,streaming,support,filterkit,tools,dv/{dif,deck,ieee1394,filters}} "$tree"/{framework,filter,app,bench,messages,graph,stripe}
touch "$tree"/platform/support/tool_options.h
touch "$tree"/platform/include/{windows.h,dshow.h} "$tree"/platform/include/platform/platform.h
touch "$tree"/platform/streaming/filter_graph.h "$tree"/framework/pin_base.h "$tree"/app/output_graph.h
printf '#include <dshow.h>\n#include "pin_base.h"\n' >"$tree"/framework/pin_base.cpp
printf '#include <windows.h>\n#include "framework/pin_base.h"\n' >"$tree"/filter/color_bar.cpp
touch "$tree"/platform/dv/ntsc_dv.h "$tree"/platform/dv/deck/deck_protocol.h \
  "$tree"/platform/dv/ieee1394/ieee1394_bus.h "$tree"/platform/dv/transport_interface.h "$tree"/platform/dv/filters/muxer.h "$tree"/platform/dv/filters/test_pattern.h \
  "$tree"/platform/filterkit/kit_pin.h "$tree"/platform/dv/dif/timecode.h
printf '#include "dv/ntsc_dv.h"\n#include "support/tool_options.h"\n#include "timecode.h"\n' >"$tree"/platform/dv/dif/packs.cpp
printf '#include "dv/dif/timecode.h"\n' >"$tree"/platform/dv/deck/deck_server.cpp
printf '#include "dv/dif/timecode.h"\n#include "dv/deck/deck_protocol.h"\n' >"$tree"/platform/tools/dvdeck.cpp
printf '#include <dshow.h>\n#include "support/tool_options.h"\n#include "kit_pin.h"\n' \
  >"$tree"/platform/filterkit/kit_filter.cpp
printf '#include "dv/ntsc_dv.h"\n#include "dv/deck/deck_protocol.h"\n#include "dv/ieee1394/ieee1394_bus.h"\n#include "filterkit/kit_pin.h"\n#include "dv/dif/timecode.h"\n' \
  >"$tree"/platform/dv/filters/device_provider.cpp
printf '#include "dv/ntsc_dv.h"\n#include "dv/transport_interface.h"\n' >"$tree"/platform/dv/ieee1394/transport.cpp
mkdir -p "$tree"/tests/support
touch "$tree"/tests/support/fakes.h
printf '#include "tests/support/fakes.h"\n#include "framework/pin_base.h"\n#include "dv/ntsc_dv.h"\n' >"$tree"/tests/pin_test.cpp
touch "$tree"/messages/stream_failure.h "$tree"/graph/graph_recipe.h "$tree"/stripe/stripe_run.h
printf '#include <dshow.h>\n#include "messages/stream_failure.h"\n#include "graph/graph_recipe.h"\n' >"$tree"/app/output_graph.cpp
printf '#include <windows.h>\n#include "graph_recipe.h"\n' >"$tree"/graph/graph_recipe.cpp
printf '#include <platform/platform.h>\n#include "messages/stream_failure.h"\n#include "graph/graph_recipe.h"\n#include "stripe_run.h"\n#include "dv/dif/timecode.h"\n#include "dv/filters/test_pattern.h"\n' \
  >"$tree"/stripe/main.cpp
python3 "$checker" "$tree" >/dev/null || { echo "a clean tree was refused"; exit 1; }

expect_refused() {  # FILE LINE: adding LINE to FILE must make the check fail
    local file="$tree/$1" saved
    saved="$(cat "$file" 2>/dev/null || true)"
    printf '%s\n' "$2" >>"$file"
    if python3 "$checker" "$tree" >/dev/null; then echo "not refused: $1 with $2"; exit 1; fi
    printf '%s\n' "$saved" >"$file"
}
expect_refused framework/pin_base.cpp '#include <platform/platform.h>'     # private header
expect_refused framework/pin_base.cpp '#include "streaming/filter_graph.h"' # platform internals
expect_refused platform/kernel/threads.cpp '#include "streaming/filter_graph.h"'  # upwards
expect_refused platform/dv/device.cpp '#include "streaming/filter_graph.h"'  # beside the public headers
expect_refused platform/streaming/x.cpp '#include "framework/pin_base.h"'     # platform -> system
expect_refused framework/pin_base.cpp '#include "app/output_graph.h"'       # library -> program
expect_refused app/main.cpp '#include "support/tool_options.h"'        # the platform's support code
expect_refused platform/dv/deck/deck.cpp '#include "dv/filters/muxer.h"'       # deck -> filters
expect_refused platform/dv/deck/deck.cpp '#include "dv/ieee1394/ieee1394_bus.h"'  # deck -> bus
expect_refused platform/dv/ieee1394/bus.cpp '#include "dv/deck/deck_protocol.h"'  # bus -> deck
expect_refused platform/dv/ieee1394/bus.cpp '#include "dv/filters/muxer.h"'    # only the interface
expect_refused platform/filterkit/kit_pin.cpp '#include "dv/filters/muxer.h"'  # the kit knows no DV
expect_refused platform/filterkit/kit_pin.cpp '#include "streaming/filter_graph.h"'  # nor the runtime
expect_refused platform/dv/deck/deck.cpp '#include "filterkit/kit_pin.h"'      # the deck is no filter
expect_refused framework/pin_base.cpp '#include "filterkit/kit_pin.h"'         # the system has its own
expect_refused platform/dv/ntsc.cpp '#include "dv/deck/deck_protocol.h"'       # shared -> a room
expect_refused platform/dv/filters/x.cpp '#include "log.h"'                 # names no room
expect_refused tests/pin_test.cpp '#include "pin_base.h"'                       # nor in a test
expect_refused bench/chain.cpp '#include "../framework/pin_base.h"'             # climbing out
expect_refused app/main.cpp '#include <platform/platform.h>'                    # a private public header
expect_refused platform/dv/ntsc.cpp '#include "dv/dif/timecode.h"'              # shared -> a room
expect_refused platform/dv/dif/packs.cpp '#include "dv/deck/deck_protocol.h"'   # the room is below the deck
expect_refused platform/dv/dif/packs.cpp '#include "dv/filters/muxer.h"'        # and below the filters
expect_refused platform/dv/dif/packs.cpp '#include "filterkit/kit_pin.h"'       # and knows no filter kit
expect_refused graph/graph_recipe.cpp '#include <platform/platform.h>'          # the shared steps: public headers only
expect_refused graph/graph_recipe.cpp '#include "messages/stream_failure.h"'     # the steps show no text
expect_refused graph/graph_recipe.cpp '#include "app/output_graph.h"'            # nor know the programs
expect_refused stripe/main.cpp '#include "app/output_graph.h"'                   # the programs apart
expect_refused app/output_graph.cpp '#include "stripe/stripe_run.h"'
expect_refused stripe/main.cpp '#include "support/tool_options.h"'               # no platform internals
expect_refused stripe/main.cpp '#include "dv/deck/deck_protocol.h"'              # of DV only the timecode room
expect_refused stripe/main.cpp '#include "dv/filters/muxer.h"'                   # and of the filters only the
expect_refused app/output_graph.cpp '#include "dv/filters/test_pattern.h"'       # pattern's description, the checker's
expect_refused app/output_graph.cpp '#include "dv/dif/timecode.h"'               # Tamsel counts no labels
expect_refused messages/stream_failure.cpp '#include "graph/graph_recipe.h"'     # the texts stand alone
echo "layer check self-test passed"
