#pragma once

/// Marks the public API of libtrestan.so.
#define TRESTAN_API __attribute__((visibility("default")))
