// Marks a plug-in's C entry points as exported from its module. Below both
// plug-ins, so neither includes the other's headers for it.
#pragma once

#if defined(_WIN32)
#define VX_EXPORT extern "C" __declspec(dllexport)
#else
#define VX_EXPORT extern "C" __attribute__((visibility("default")))
#endif
