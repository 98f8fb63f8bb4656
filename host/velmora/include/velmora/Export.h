#pragma once

/// Marks the public API of libvelmora.so; everything else in the library stays hidden.
#if defined(VELMORA_BUILDING_LIBRARY)
#define VELMORA_API __attribute__((visibility("default")))
#else
#define VELMORA_API __attribute__((visibility("default")))
#endif
