// Marks the plug-in's C entry points as exported from the module.
#pragma once

#if defined(_WIN32)
#define VX_EXPORT extern "C" __declspec(dllexport)
#else
#define VX_EXPORT extern "C" __attribute__((visibility("default")))
#endif
