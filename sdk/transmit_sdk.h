// Our declarations of the host's Transmit plug-in interface, in the host's
// layouts: the records the host and the plug-in exchange, the nineteen-slot
// module table, the entry, the host's suite record with its utility
// functions, the SP basic suite and the three host suites the plug-in
// acquires by name and version.
//
// Written from the Premiere Pro C++ SDK documentation (the guide's
// transmitter chapters and the SDK headers named beside each record). The
// names are ours; the field order, types, sizes, slot order, constant values
// and packing are the SDK's. The SDK compiles its transmit records with
// one-byte packing (#pragma pack(push, 1)), so do these; the function tables
// use the platform's one C calling convention of x64 (SPAPI and the suites'
// function pointers carry no convention keyword on Windows).
// sdk/sdk_layout_x64.h holds the documented x64 sizes and offsets they are
// checked against. Plain C, so the plug-in, vx-host and the test plug-ins
// share it across a shared-library boundary.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- basic types: PrSDKTypes.h, SPTypes.h ----
typedef int32_t TxBool;           // prBool: 0 false, 1 true (32 bits)
typedef uint16_t TxUtf16Char;     // prUTF16Char: wchar_t on Windows, 16 bits everywhere
typedef int64_t TxTime;           // PrTime (PrSDKTimeSuite.h): host ticks
typedef uint32_t TxPixelFormat;   // PrPixelFormat (PrSDKPixelFormat.h): an enum of 32 bits
typedef int32_t TxSuiteError;     // prSuiteError (PrSDKMALErrors.h): negative = error
typedef int32_t TxSpError;        // SPErr (SPTypes.h): a four-character code, 0 = none
typedef int32_t TxPlayId;         // PrPlayID (PrSDKPlayModule.h)
typedef int32_t TxTimelineId;     // PrTimelineID (PrSDKTypes.h)

// A host picture, PPixHand (PrSDKTypes.h): a handle (pointer to pointer) the
// plug-in reaches only through the PPix suite.
typedef struct TxPPix** TxPPixHandle;

// prRect (PrSDKTypes.h, Windows and Linux): width = right - left, height = bottom - top.
typedef struct TxRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
} TxRect;

#pragma pack(push, 1)
// layout: PrSDKTypes.h, PrSDKString (packed): opaque storage of a host string.
typedef struct TxSdkString {
    int64_t opaque[2];
} TxSdkString;

// layout: PrSDKColorSEICodes.h, prSEIColorCodesRec (packed).
typedef struct TxSeiColorCodes {
    int32_t colorPrimaries;
    int32_t transferCharacteristic;
    int32_t matrixEquations;
    int32_t bitDepth;
    TxBool fullRange;
    TxBool rgb;
    TxBool sceneReferred;
} TxSeiColorCodes;
#pragma pack(pop)

// layout: PrSDKColorProfile.h, RawColorProfileRec. That header sets no
// packing and PrSDKTransmit.h includes it before its pack(1), so it is
// naturally aligned.
typedef struct TxRawColorProfile {
    int32_t bufferSize;
    void* destinationBuffer;
    TxSdkString name;
} TxRawColorProfile;

// layout: PrSDKColorProfile.h, ColorSpaceRec (naturally aligned, as above).
typedef struct TxColorSpace {
    void* privateData;
    int32_t colorSpaceType;  // kPrSDKColorSpaceType_*
    TxRawColorProfile profile;
    TxSeiColorCodes seiCodes;
} TxColorSpace;

#pragma pack(push, 1)

// ---- results: PrSDKTransmit.h, tmResult (an enum: 32 bits) ----
typedef int32_t TxResult;
enum {
    kTxResultSuccess = 0,
    kTxResultContinueIterate = 1,
    kTxResultErrorUnknown = -1,
    kTxResultErrorMemory = -2,
    kTxResultErrorInvalidArgument = -3,
    kTxResultErrorUnsupported = -4,
    // The plug-in's two failures are the SDK's "unsupported".
    kTxResultNoMode = kTxResultErrorUnsupported,          // a mode query without a mode for that index
    kTxResultInstanceFailed = kTxResultErrorUnsupported,  // create instance made no instance
};

// Interface versions (PrSDKTransmit.h): the host passes tmInterfaceVersion to
// the entry; the plug-in reports the one it was built for (4).
enum { kTxInterfaceVersion1 = 1, kTxInterfaceVersion4 = 4, kTxInterfaceVersion = kTxInterfaceVersion4 };
// Version of the host's suite record (PrSDKPlugSuites.h, PR_PISUITES_VERSION).
enum { kTxPiSuitesVersion = 9 };

// ---- constants ----
// The SDK's four-character pixel format: the first character in the least
// significant byte (PrSDKPixelFormat.h, MAKE_PIXEL_FORMAT_FOURCC).
#define TX_PIXEL_FORMAT_FOURCC(c0, c1, c2, c3)                                           \
    ((TxPixelFormat)((uint32_t)(uint8_t)(c0) | ((uint32_t)(uint8_t)(c1) << 8) |          \
                     ((uint32_t)(uint8_t)(c2) << 16) | ((uint32_t)(uint8_t)(c3) << 24)))
// PrPixelFormat_BGRA_4444_8u, 8-bit BGRA: 0x61726762.
#define kTxPixelFormatBgra TX_PIXEL_FORMAT_FOURCC('b', 'g', 'r', 'a')
// PrPixelFormat_Any.
#define kTxPixelFormatAny ((TxPixelFormat)0)

// prFieldType (PrSDKTypes.h): prFieldsAny is what the plug-in answers.
enum { kTxFieldsNone = 0, kTxFieldsAny = 4 };
// PrAudioChannelLabel (PrSDKAudioSuite.h).
enum { kTxAudioLabelDiscrete = 0, kTxAudioLabelFrontLeft = 100, kTxAudioLabelFrontRight = 101 };
// PrAudioSampleType (PrSDKAudioSuite.h).
enum { kTxAudioSample32BitFloat = 6 };
// pmPlayMode (PrSDKPlayModule.h): the clock runs only while playing.
enum { kTxPlayModeStopped = 0, kTxPlayModePlaying = 1, kTxPlayModeScrubbing = 2 };
// PrActivationEvent (PrSDKActivationEvent.h): why ActivateDeactivate was called.
enum {
    kTxActivationUnspecified = 0,
    kTxActivationRecorderActivated = 1,
    kTxActivationPlayerActivated = 2,
    kTxActivationApplicationLostFocus = 3,
};
// PrRenderQuality (PrSDKQuality.h).
enum { kTxRenderQualityDraft = 0, kTxRenderQualityHigh = 3, kTxRenderQualityMax = 4 };
// PrPPixBufferAccess (PrSDKPPixSuite.h).
enum { kTxPPixAccessRead = 0, kTxPPixAccessWrite = 1, kTxPPixAccessReadWrite = 2 };
// PrVideoFrameRates (PrSDKTimeSuite.h), for GetTicksPerVideoFrame.
enum {
    kTxVideoFrameRate24Drop = 1,
    kTxVideoFrameRate24 = 2,
    kTxVideoFrameRatePal = 3,
    kTxVideoFrameRateNtsc = 4,
    kTxVideoFrameRate30 = 5,
    kTxVideoFrameRatePalHd = 6,
    kTxVideoFrameRateNtscHd = 7,
    kTxVideoFrameRate60 = 8,
};
// prSuiteError values (PrSDKMALErrors.h).
#define kTxSuiteErrorNone ((TxSuiteError)0)
#define kTxSuiteErrorFail ((TxSuiteError)0x80000000u)
#define kTxSuiteErrorInvalidParms ((TxSuiteError)0x80000001u)
#define kTxSuiteErrorInvalidCall ((TxSuiteError)0x80000003u)
#define kTxSuiteErrorNotImplemented ((TxSuiteError)0x80000004u)
#define kTxSuiteErrorAudioNotInitialized ((TxSuiteError)0x80060002u)
#define kTxSuiteErrorAudioNotStarted ((TxSuiteError)0x80060003u)
#define kTxSuiteErrorTimeRoundedAudioRate ((TxSuiteError)0x00020000)  // a success: the rate was rounded
// SPErr values (SPErrorCodes.h): four-character codes.
#define kTxSpErrorNone ((TxSpError)0)
#define kTxSpErrorBadParameter ((TxSpError)0x5061726D)  // 'Parm'
#define kTxSpErrorUnimplemented ((TxSpError)0x21494D50)  // '!IMP'
#define kTxSpErrorSuiteNotFound ((TxSpError)0x53214664)  // 'S!Fd'
#define kTxSpErrorOutOfMemory ((TxSpError)-108)
// Host time base assumed when the Time suite cannot be had.
#define kTxDefaultTicksPerSecond ((int64_t)254016000000LL)
enum { kTxMaxAudioChannels = 16 };  // kMaxTransmitAudioChannels

// ---- the SP basic suite. layout: SPBasic.h, SPBasicSuite (seven slots) ----
typedef struct TxBasicSuite {
    TxSpError (*AcquireSuite)(const char* name, int32_t version, const void** outSuite);
    TxSpError (*ReleaseSuite)(const char* name, int32_t version);
    TxBool (*IsEqual)(const char* a, const char* b);  // SPBoolean: 32 bits on Windows
    TxSpError (*AllocateBlock)(size_t size, void** outBlock);
    TxSpError (*FreeBlock)(void* block);
    TxSpError (*ReallocateBlock)(void* block, size_t newSize, void** outBlock);
    TxSpError (*Undefined)(void);
} TxBasicSuite;

// ---- the host's suite record ----
// layout: PrSDKPlugUtilities.h, PlugUtilFuncs (nine slots; the plug-in calls
// only the eighth). The other slots' arguments are the SDK's; they are kept
// opaque here because nothing of ours calls them.
typedef void (*TxOpaqueProc)(void);
typedef struct TxUtilFuncs {
    TxOpaqueProc getSettings;
    TxOpaqueProc getSerialNumber;
    TxOpaqueProc getFileTimebase;
    TxOpaqueProc getFileVideo;
    TxOpaqueProc getFileAudioSecond;
    TxOpaqueProc getPlugInResFile;
    TxOpaqueProc getFileVideoBounds;
    TxBasicSuite* (*GetSPBasicSuite)(void);  // slot 7
    TxOpaqueProc getFileExtString;
} TxUtilFuncs;

// layout: PrSDKPlugSuites.h, piSuites (packed). The four other tables are the
// SDK's legacy callbacks, which nothing of ours calls.
typedef struct TxPiSuites {
    int32_t interfaceVersion;  // kTxPiSuitesVersion
    const void* memFuncs;      // PlugMemoryFuncs*
    const void* windFuncs;     // PlugWindowFuncs*
    const void* ppixFuncs;     // PlugppixFuncs*
    TxUtilFuncs* utilFuncs;
    const void* timelineFuncs;  // PlugTimelineFuncs*
} TxPiSuites;

// ---- host suites, acquired and released through the basic suite ----
#define kTxPPixSuiteName "Premiere PPix Suite"
#define kTxPPixSuiteVersion 1
#define kTxPlaymodAudioSuiteName "Premiere Playmod Audio Suite"
#define kTxPlaymodAudioSuiteVersion 4
#define kTxTimeSuiteName "Premiere Time Suite"
#define kTxTimeSuiteVersion 1

// layout: PrSDKPPixSuite.h, PrSDKPPixSuite version 1 (nine slots).
typedef struct TxPPixSuite {
    TxSuiteError (*Dispose)(TxPPixHandle ppix);
    TxSuiteError (*GetPixels)(TxPPixHandle ppix, int32_t access, char** outPixels);  // access: kTxPPixAccess*
    TxSuiteError (*GetBounds)(TxPPixHandle ppix, TxRect* ioBounds);
    TxSuiteError (*GetRowBytes)(TxPPixHandle ppix, int32_t* outRowBytes);
    TxSuiteError (*GetPixelAspectRatio)(TxPPixHandle ppix, uint32_t* outNumerator, uint32_t* outDenominator);
    TxSuiteError (*GetPixelFormat)(TxPPixHandle ppix, TxPixelFormat* outFormat);
    TxSuiteError (*GetUniqueKey)(TxPPixHandle ppix, unsigned char* ioKey, size_t keySize);
    TxSuiteError (*GetUniqueKeySize)(size_t* outKeySize);
    TxSuiteError (*GetRenderTime)(TxPPixHandle ppix, int32_t* outMilliseconds);
} TxPPixSuite;

// layout: PrSDKPlayModuleAudioSuite.h, PrSDKPlayModuleAudioSuite version 4
// (eleven slots). A transmitter calls only GetNextAudioBuffer: the host
// initialises, starts and stops the audio. The other slots' records are the
// SDK's and are kept opaque here.
typedef void (*TxAudioTimeCallback)(void* instanceData, TxTime currentTime);
typedef struct TxPlaymodAudioSuite {
    TxSuiteError (*InitHostAudio)(int32_t playId, TxAudioTimeCallback callback, void* instanceData,
                                  int scrubbing, TxTime* outClockInterval);
    TxSuiteError (*InitPluginAudio)(int32_t playId, int scrubbing, void* ioSettings);
    TxSuiteError (*StartAudio)(int32_t playId, const void* positions, float speed, TxTime minimumPreroll);
    // Fills outBuffers[channel][0..sampleFrames) with the next audio; inBuffers is unused (may be null).
    TxSuiteError (*GetNextAudioBuffer)(int32_t playId, float** inBuffers, float** outBuffers,
                                       unsigned int sampleFrames);
    TxSuiteError (*SetPosition)(int32_t playId, const TxTime* requested, TxTime* outActual);
    TxSuiteError (*GetPosition)(int32_t playId, TxTime* outPosition);
    TxSuiteError (*SetRange)(int32_t playId, const void* requested, void* outActual);
    TxSuiteError (*SetPlaybackSpeed)(int32_t playId, float speed);
    TxSuiteError (*StopAudio)(int32_t playId);
    TxSuiteError (*InitPluginAudio3)(int32_t playId, int scrubbing, const void* settings);
    TxSuiteError (*GetNextAudioBuffer2)(int32_t playId, float** inBuffers, float** outBuffers,
                                        unsigned int sampleFrames, TxTime* outBufferTime);
} TxPlaymodAudioSuite;

// layout: PrSDKTimeSuite.h, PrSDKTimeSuite version 1 (three slots).
typedef struct TxTimeSuite {
    TxSuiteError (*GetTicksPerSecond)(TxTime* outTicksPerSecond);
    TxSuiteError (*GetTicksPerVideoFrame)(uint32_t frameRate, TxTime* outTicksPerFrame);  // kTxVideoFrameRate*
    TxSuiteError (*GetTicksPerAudioSample)(float sampleRate, TxTime* outTicksPerSample);
} TxTimeSuite;

// ---- records (all packed) ----
// layout: PrSDKTransmit.h, tmStdParms.
typedef struct TxStdParms {
    int32_t pluginIndex;
    char* serializedData;       // PrMemoryPtr; may be written by start-up or setup
    size_t serializedDataSize;  // csSDK_size_t: 64 bits on x64
    void* privatePluginData;
    TxPiSuites* suites;
} TxStdParms;

// layout: PrSDKTransmit.h, tmPluginInfo (prPluginID is a 37-byte GUID string).
typedef struct TxPluginInfo {
    char identifier[37];
    uint32_t priority;  // 0 default, higher wins
    TxBool audioAvailable;
    TxBool audioDefaultEnabled;
    TxBool clockAvailable;
    TxBool videoAvailable;
    TxBool videoDefaultEnabled;
    TxUtf16Char displayName[256];  // UTF-16, NUL-terminated
    TxBool hideInUI;
    TxBool hasSetup;
    int32_t interfaceVersion;  // the tmInterfaceVersion the plug-in was built for
    TxBool pushAudioAvailable;
    TxBool hasStreaming;
} TxPluginInfo;

// layout: PrSDKTransmit.h, tmInstance. The plug-in owns what privateData points to.
typedef struct TxInstance {
    int32_t instanceId;
    TxTimelineId timelineId;  // may be 0
    TxPlayId playId;          // may be 0
    TxBool hasAudio;
    uint32_t channelCount;
    int32_t channelLabels[kTxMaxAudioChannels];  // PrAudioChannelLabel
    int32_t audioSampleType;                     // PrAudioSampleType
    float audioSampleRate;
    TxBool hasVideo;
    int32_t videoWidth;
    int32_t videoHeight;
    int32_t videoParNum;
    int32_t videoParDen;
    TxTime videoFrameRate;   // ticks per frame
    int32_t videoFieldType;  // prFieldType
    void* privateData;
} TxInstance;

// layout: PrSDKTransmit.h, tmAudioMode. The output names are host strings
// the plug-in allocates and the host disposes.
typedef struct TxAudioMode {
    float sampleRate;
    uint32_t maxBufferSize;
    uint32_t channelCount;
    int32_t channelLabels[kTxMaxAudioChannels];  // PrAudioChannelLabel
    TxTime latency;
    TxSdkString outputNames[kTxMaxAudioChannels];
} TxAudioMode;

// layout: PrSDKTransmit.h, tmVideoMode.
typedef struct TxVideoMode {
    int32_t width;      // 0 = any
    int32_t height;     // 0 = any
    int32_t parNum;     // 0 = any
    int32_t parDen;     // 0 = any
    int32_t fieldType;  // prFieldType; kTxFieldsAny = any
    TxPixelFormat pixelFormat;
    TxSdkString streamLabel;  // zero: the normal stream
    TxTime latency;
    TxColorSpace colorSpace;
} TxVideoMode;

// layout: PrSDKTransmit.h, tmClockCallback and tmPlaybackClock.
// Called by the plug-in with the ticks the clock moved since the last call.
typedef void (*TxClockCallback)(void* context, TxTime relativeTicks);
typedef void (*TxDroppedFrameCallback)(void* context, int64_t newDroppedFrames);
typedef struct TxPlaybackClock {
    TxClockCallback callback;
    void* callbackContext;
    TxTime startTime;
    int32_t playMode;  // pmPlayMode: the clock runs only for kTxPlayModePlaying
    float speed;       // 1.0 normal, -2.0 double speed backwards
    TxTime inTime;     // in, out and loop are informational
    TxTime outTime;
    TxBool loop;
    TxDroppedFrameCallback droppedFrameCallback;
    TxTime audioOffset;
    TxTime videoOffset;
} TxPlaybackClock;

// layout: PrSDKTransmit.h, tmLabeledFrame (PrSDKStreamLabel, a label string pointer).
typedef struct TxLabeledFrame {
    TxPPixHandle frame;  // disposed by the plug-in
    const char* streamLabel;
} TxLabeledFrame;

// layout: PrSDKTransmit.h, tmPushVideo.
typedef struct TxPushVideo {
    TxTime time;  // negative: immediate
    int32_t playMode;  // pmPlayMode
    int32_t quality;   // PrRenderQuality
    const TxLabeledFrame* frames;
    size_t frameCount;  // csSDK_size_t
} TxPushVideo;

// layout: PrSDKTransmit.h, tmPushAudio.
typedef struct TxPushAudio {
    TxTime time;
    float** buffers;  // one per channel
    uint32_t sampleCount;
    uint32_t channelCount;
} TxPushAudio;

// layout: PrSDKTransmit.h, tmStreamingStateChangedCallback.
typedef void (*TxStreamingStateChangedCallback)(void* context);

// ---- the module table. layout: PrSDKTransmit.h, tmModule (nineteen slots) ----
typedef struct TxModule {
    TxResult (*Startup)(TxStdParms* ioStdParms, TxPluginInfo* outInfo);
    TxResult (*Shutdown)(TxStdParms* ioStdParms);
    TxResult (*SetupDialog)(TxStdParms* ioStdParms, void* parentWindow);  // prParentWnd (HWND)
    TxResult (*NeedsReset)(const TxStdParms* stdParms, TxBool* outResetModule);
    TxResult (*CreateInstance)(const TxStdParms* stdParms, TxInstance* ioInstance);
    TxResult (*DisposeInstance)(const TxStdParms* stdParms, TxInstance* ioInstance);
    TxResult (*QueryAudioMode)(const TxStdParms* stdParms, const TxInstance* instance, int32_t index,
                               TxAudioMode* outMode);
    TxResult (*QueryVideoMode)(const TxStdParms* stdParms, const TxInstance* instance, int32_t index,
                               TxVideoMode* outMode);
    TxResult (*ActivateDeactivate)(const TxStdParms* stdParms, const TxInstance* instance,
                                   int32_t activationEvent, TxBool audioActive, TxBool videoActive);
    TxResult (*StartPlaybackClock)(const TxStdParms* stdParms, const TxInstance* instance,
                                   const TxPlaybackClock* clock);
    TxResult (*StopPlaybackClock)(const TxStdParms* stdParms, const TxInstance* instance);
    TxResult (*PushVideo)(const TxStdParms* stdParms, const TxInstance* instance, const TxPushVideo* video);
    TxResult (*StartPushAudio)(const TxStdParms* stdParms, const TxInstance* instance, TxTime startTime,
                               float speed, TxTime inTime, TxTime outTime, TxBool loop, TxBool scrubbing,
                               uint32_t* outSamplesPerFrame);
    TxResult (*PushAudio)(const TxStdParms* stdParms, const TxInstance* instance, const TxPushAudio* audio);
    TxResult (*StopPushAudio)(const TxStdParms* stdParms, const TxInstance* instance);
    TxResult (*SetStreamingStateChangedCallback)(const TxStdParms* stdParms, void* context,
                                                 TxStreamingStateChangedCallback callback);
    TxResult (*EnableStreaming)(const TxStdParms* stdParms, TxBool enabled);
    TxResult (*IsStreamingEnabled)(const TxStdParms* stdParms, TxBool* outEnabled);
    TxResult (*IsStreamingActive)(const TxStdParms* stdParms, TxBool* outActive);
} TxModule;

enum { kTxModuleSlotCount = 19 };

// The entry the host looks up by name (tmEntryFunc): called with load 1 once
// on load and with load 0 on unload; load 0 writes nothing.
typedef TxResult (*TxEntryFunc)(int32_t interfaceVersion, TxBool loadModule, TxPiSuites* suites,
                                TxModule* outModule);
#define kTxEntryName "xTransmitEntry"

#pragma pack(pop)

#ifdef __cplusplus
}  // extern "C"
#endif
