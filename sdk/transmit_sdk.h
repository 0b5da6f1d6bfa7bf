// Stand-in declarations of the host's Transmit plug-in interface: the records
// the host and the plug-in exchange, the nineteen-slot module table, the host
// suites acquired by name and version, and the playback-clock callback.
//
// The record layouts are this project's own; the operations, their order, the
// suite names and versions and the constant values are the host's. Everything
// here is plain C data so the plug-in, the host simulator and test plug-ins
// can share it across a shared-library boundary.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- results and constants ----
typedef int32_t TxResult;
enum {
    kTxResultSuccess = 0,
    kTxResultNoMode = -4,          // mode query without a mode for that index
    kTxResultInstanceFailed = -4,  // create instance could not make an instance
};

// Interface version the host passes to the entry.
enum { kTxInterfaceVersion = 1 };

// Four-character code of 8-bit BGRA pixels: 'bgra', most significant byte first.
#define kTxPixelFormatBgra ((uint32_t)0x62677261u)
// Field-type value the plug-in answers in its video mode.
enum { kTxFieldTypeValue = 4 };
// Audio channel labels: front left, front right.
enum { kTxAudioLabelFrontLeft = 100, kTxAudioLabelFrontRight = 101 };
// The clock runs only in this mode.
enum { kTxClockModeRun = 1 };
// Host time base assumed when the Time suite cannot be had.
#define kTxDefaultTicksPerSecond ((int64_t)254016000000LL)
// Pixel access mode for reading a frame's pixels.
enum { kTxPPixAccessRead = 1 };

// ---- host suites, acquired and released through the basic suite ----
#define kTxPPixSuiteName "Premiere PPix Suite"
#define kTxPPixSuiteVersion 1
#define kTxPlaymodAudioSuiteName "Premiere Playmod Audio Suite"
#define kTxPlaymodAudioSuiteVersion 4
#define kTxTimeSuiteName "Premiere Time Suite"
#define kTxTimeSuiteVersion 1

// A host picture. Opaque to the plug-in.
typedef struct TxPPix* TxPPixHandle;

typedef struct TxRect {
    int32_t left;
    int32_t top;
    int32_t right;   // width = right - left
    int32_t bottom;  // height = bottom - top
} TxRect;

// Acquire/release of a named suite. A suite acquired N times is released N times.
typedef struct TxBasicSuite {
    TxResult (*AcquireSuite)(const char* name, int32_t version, const void** outSuite);
    TxResult (*ReleaseSuite)(const char* name, int32_t version);
} TxBasicSuite;

// "Premiere PPix Suite" version 1.
typedef struct TxPPixSuite {
    TxResult (*Dispose)(TxPPixHandle ppix);
    TxResult (*GetPixels)(TxPPixHandle ppix, int32_t accessMode, char** outPixels);
    TxResult (*GetBounds)(TxPPixHandle ppix, TxRect* outBounds);
    TxResult (*GetRowBytes)(TxPPixHandle ppix, int32_t* outRowBytes);
    TxResult (*GetPixelFormat)(TxPPixHandle ppix, uint32_t* outPixelFormat);
} TxPPixSuite;

// "Premiere Playmod Audio Suite" version 4. A negative result is an error;
// otherwise every buffer holds sampleCount samples.
typedef struct TxPlaymodAudioSuite {
    TxResult (*GetNextAudioBuffer)(int32_t playId, int32_t flags, float** buffers,
                                   uint32_t sampleCount);
} TxPlaymodAudioSuite;

// "Premiere Time Suite" version 1.
typedef struct TxTimeSuite {
    TxResult (*GetTicksPerSecond)(int64_t* outTicksPerSecond);
} TxTimeSuite;

// The host's utility functions, reached through the standard parameters.
typedef struct TxUtilityFuncs {
    const TxBasicSuite* (*GetBasicSuite)(void);
} TxUtilityFuncs;

typedef struct TxHostSuites {
    int32_t interfaceVersion;
    const TxUtilityFuncs* utilityFuncs;
} TxHostSuites;

// ---- records ----
typedef struct TxStdParms {
    int32_t interfaceVersion;
    const TxHostSuites* suites;
} TxStdParms;

// One host instance. The plug-in owns what privateData points to.
typedef struct TxInstance {
    const TxStdParms* stdParms;
    void* privateData;
    float audioSampleRate;
    int32_t audioChannelType;
    int64_t videoFrameDuration;  // ticks
    int32_t playId;
} TxInstance;

// Written by the plug-in at start-up.
typedef struct TxPluginInfo {
    int32_t hasAudio;
    int32_t audioOnByDefault;
    int32_t hasVideo;
    int32_t videoOnByDefault;
    int32_t hasClock;
    uint16_t displayName[256];  // UTF-16, zero-terminated
    // Host-defined values; the plug-in sets them to 0, 1, 4, 1, 1 in this order.
    int32_t trailing[5];
} TxPluginInfo;

enum { kTxMaxAudioChannels = 16 };

typedef struct TxAudioMode {
    float sampleRate;
    uint32_t maxBufferSize;
    uint32_t channelCount;
    uint32_t channelLabels[kTxMaxAudioChannels];
    int64_t latency;  // ticks
} TxAudioMode;

typedef struct TxVideoMode {
    int32_t width;   // 0 = any
    int32_t height;  // 0 = any
    int32_t pixelAspectNum;
    int32_t pixelAspectDen;
    int32_t fieldType;
    uint32_t pixelFormat;
    int64_t latency;  // ticks
} TxVideoMode;

// Called by the plug-in's clock thread once per video frame with the elapsed host ticks.
typedef void (*TxClockCallback)(void* context, int64_t elapsedTicks);

typedef struct TxClock {
    TxClockCallback callback;
    void* callbackContext;
    int32_t mode;  // the clock runs only for kTxClockModeRun
} TxClock;

typedef struct TxPushedFrame {
    TxPPixHandle ppix;
} TxPushedFrame;

typedef struct TxPushedVideo {
    int64_t frameCount;
    const TxPushedFrame* frames;
} TxPushedVideo;

typedef struct TxPushedAudio {
    float** buffers;  // one per channel
    uint32_t sampleCount;
    uint32_t channelCount;
} TxPushedAudio;

// ---- the module table: nineteen slots in the host's order ----
typedef struct TxModule {
    TxResult (*Startup)(const TxStdParms* stdParms, TxPluginInfo* outInfo);
    TxResult (*Shutdown)(const TxStdParms* stdParms);
    TxResult (*SetupDialog)(const TxStdParms* stdParms, void* parentWindow);
    TxResult (*NeedsReset)(const TxStdParms* stdParms, int32_t* outNeedsReset);
    TxResult (*CreateInstance)(TxInstance* instance);
    TxResult (*DisposeInstance)(TxInstance* instance);
    TxResult (*QueryAudioMode)(const TxInstance* instance, int32_t index, TxAudioMode* outMode);
    TxResult (*QueryVideoMode)(const TxInstance* instance, int32_t index, TxVideoMode* outMode);
    TxResult (*ActivateDeactivate)(const TxInstance* instance, int32_t event, int32_t audioActive,
                                   int32_t videoActive);
    TxResult (*StartPlaybackClock)(const TxInstance* instance, const TxClock* clock);
    TxResult (*StopPlaybackClock)(const TxInstance* instance);
    TxResult (*PushVideo)(const TxInstance* instance, const TxPushedVideo* video);
    TxResult (*StartPushAudio)(const TxInstance* instance, int32_t scrubbing,
                               uint32_t* outSamplesPerFrame);
    TxResult (*PushAudio)(const TxInstance* instance, const TxPushedAudio* audio);
    TxResult (*StopPushAudio)(const TxInstance* instance);
    // Four further operations: the first two are no-ops, the last two answer one flag.
    TxResult (*Extension1)(const TxInstance* instance, void* data);
    TxResult (*Extension2)(const TxInstance* instance, void* data);
    TxResult (*ExtensionQuery1)(const TxInstance* instance, int32_t* outFlag);
    TxResult (*ExtensionQuery2)(const TxInstance* instance, int32_t* outFlag);
} TxModule;

enum { kTxModuleSlotCount = 19 };

// The entry the host looks up by name. loadModule 0: nothing is written.
typedef TxResult (*TxEntryFunc)(int32_t interfaceVersion, int32_t loadModule,
                                const TxHostSuites* suites, TxModule* outModule);
#define kTxEntryName "xTransmitEntry"

#ifdef __cplusplus
}  // extern "C"
static_assert(sizeof(TxModule) == kTxModuleSlotCount * sizeof(void*),
              "the module table is exactly nineteen function slots");
#endif
