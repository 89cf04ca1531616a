// What the seeding test server registers.
#pragma once

#include <dshow.h>

// "Seed Test Filter", one output pin "Out" of video/RGB24, merit MERIT_NORMAL.
DEFINE_GUID(CLSID_SeedTestFilter, 0x5eed7e57, 0x0001, 0x4a2b, 0x8c, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77);
